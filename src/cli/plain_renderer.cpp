#include "cli/plain_renderer.h"

#include "cli/clock_text.h"
#include "update/protocol.h"

namespace flashupdate::cli {

PlainRenderer::PlainRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_out(out) {}

void PlainRenderer::show(const UpdateEvent& event) {
    switch (event.kind) {
        case EventKind::Status:
            line(event, event.text);
            break;
        case EventKind::Message:
            // A message box's lines each become a line of the log.
            for (const std::string& text : messageLines(event.text)) {
                line(event, text);
            }
            break;
        case EventKind::Progress:
            // One line a record keeps a log readable.
            if (event.sent % protocol::kRecordBytes == 0 || event.sent == event.total) {
                line(event, std::to_string(event.sent) + " of " + std::to_string(event.total) +
                                " bytes sent");
            }
            break;
        case EventKind::Diagnostic:
            // For whoever debugs the line; the log on standard output stays the window's words.
            std::fflush(m_out);
            std::fprintf(stderr, "flashupdate-cli: [%s] %s\n", m_labels.at(event.port).c_str(),
                         event.text.c_str());
            break;
        case EventKind::Result:
            line(event, event.text + " (exit status " + std::to_string(event.exitCode) + ")");
            break;
    }
}

void PlainRenderer::line(const UpdateEvent& event, const std::string& text) {
    std::fprintf(m_out, "%s [%s] %s\n", clockText(event.time).c_str(),
                 m_labels.at(event.port).c_str(), text.c_str());
    std::fflush(m_out);
}

}  // namespace flashupdate::cli
