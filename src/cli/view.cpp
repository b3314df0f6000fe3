#include "cli/view.h"

namespace flashupdate::cli {

void EventQueue::push(UpdateEvent event) {
    {
        const std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    m_arrived.notify_one();
}

std::vector<UpdateEvent> EventQueue::take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, timeout, [this] { return !m_events.empty(); });
    std::vector<UpdateEvent> events(std::make_move_iterator(m_events.begin()),
                                    std::make_move_iterator(m_events.end()));
    m_events.clear();
    return events;
}

CliView::CliView(std::size_t port, int comNumber, std::filesystem::path image, EventQueue& events)
    : m_port(port), m_comNumber(comNumber), m_image(std::move(image)), m_events(events) {}

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
        UpdateEvent status = event(EventKind::Status);
        status.text = caption;
        m_events.push(std::move(status));
    }
}

void CliView::progress(Progress what, const UpdateResult& run) {
    if (what == Progress::StageEntered && m_stageObserver) {
        m_stageObserver(run);
    }
    UpdateEvent progress = event(EventKind::Progress);
    progress.progress = what;
    progress.result = run;
    m_events.push(std::move(progress));
}

void CliView::showMessage(const std::string& text, MessageIcon) {
    UpdateEvent message = event(EventKind::Message);
    message.text = text;
    m_events.push(std::move(message));
}

void CliView::diagnostic(const std::string& text) {
    UpdateEvent diagnostic = event(EventKind::Diagnostic);
    diagnostic.text = text;
    m_events.push(std::move(diagnostic));
}

UpdateEvent CliView::event(EventKind kind) const {
    UpdateEvent made;
    made.port = m_port;
    made.kind = kind;
    made.runId = m_runId;
    if (m_run != nullptr) {
        made.result = *m_run;
    }
    return made;
}

}  // namespace flashupdate::cli
