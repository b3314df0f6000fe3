#include "cli/cli_view.h"

#include <charconv>
#include <system_error>

#include "cli/time_left.h"
#include "update/texts.h"

namespace flashupdate::cli {

CliView::CliView(std::size_t port, int comNumber, std::filesystem::path image, EventQueue& events)
    : m_port(port), m_comNumber(comNumber), m_image(std::move(image)), m_events(events) {
    std::error_code error;
    const auto length = std::filesystem::file_size(m_image, error);
    m_total = error ? 0 : recordBytesFor(length);
}

// The same name in the text box and in the list, so the procedure places it in the list's
// directory and reports the whole path.
std::string CliView::fileNameText() const {
    return m_image.filename().string();
}

std::string CliView::filesPath() const {
    return m_image.parent_path().string();
}

std::string CliView::filesFileName() const {
    return m_image.filename().string();
}

bool CliView::comOptionSelected(int port) const {
    return port == m_comNumber;
}

void CliView::setLabelVisible(Label, bool) {}

void CliView::setLabelCaption(Label label, const std::string& caption) {
    if (label == Label::lblStatus) {
        m_lastStatus = caption;
        if (caption == texts::kMemoryErased) {
            m_eraseReached = true;
        }
        UpdateEvent status = event(EventKind::Status);
        status.text = caption;
        m_events.push(std::move(status));
    } else if (label == Label::lblBytesT) {
        // Captions are numbers after a sign blank; the run clears the label with "".
        const auto first = caption.find_first_not_of(' ');
        std::uint64_t sent = 0;
        if (first == std::string::npos ||
            std::from_chars(caption.data() + first, caption.data() + caption.size(), sent).ec !=
                std::errc{}) {
            return;
        }
        UpdateEvent progress = event(EventKind::Progress);
        progress.sent = sent;
        progress.total = m_total;
        m_events.push(std::move(progress));
    }
}

void CliView::showMessage(const std::string& text, MessageIcon) {
    m_messages.push_back(text);
    UpdateEvent message = event(EventKind::Message);
    message.text = text;
    m_events.push(std::move(message));
}

UpdateEvent CliView::event(EventKind kind) const {
    UpdateEvent made;
    made.port = m_port;
    made.kind = kind;
    made.total = m_total;
    return made;
}

}  // namespace flashupdate::cli
