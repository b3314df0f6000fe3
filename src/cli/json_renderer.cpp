#include "cli/json_renderer.h"

#include "cli/clock_text.h"
#include "cli/json_text.h"
#include "cli/time_left.h"

namespace flashupdate::cli {

namespace {

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::Status:
            return "status";
        case EventKind::Progress:
            return "progress";
        case EventKind::Message:
            return "message";
        case EventKind::Diagnostic:
            return "diagnostic";
        case EventKind::Result:
            return "result";
    }
    return "unknown";
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

JsonRenderer::JsonRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_stages(m_labels.size()), m_out(out) {}

void JsonRenderer::show(const UpdateEvent& event) {
    std::string line = "{\"time\":" + jsonString(isoText(event.time)) +
                       ",\"port\":" + jsonString(m_labels.at(event.port)) +
                       ",\"event\":" + jsonString(kindName(event.kind));
    switch (event.kind) {
        case EventKind::Status:
            m_stages[event.port] = event.text;
            line += ",\"text\":" + jsonString(event.text);
            break;
        case EventKind::Message:
        case EventKind::Diagnostic:
            line += ",\"text\":" + jsonString(event.text);
            break;
        case EventKind::Progress: {
            const auto percent = percentSent(event.sent, event.total);
            const auto left = timeLeft(m_stages[event.port], event.sent, event.total);
            line += ",\"sent\":" + std::to_string(event.sent) +
                    ",\"total\":" + std::to_string(event.total) +
                    ",\"percent\":" + std::to_string(percent) +
                    ",\"seconds_left\":" + std::to_string((left.count() + 999) / 1000);
            break;
        }
        case EventKind::Result: {
            const UpdateResult& result = event.result;
            line += ",\"outcome\":" + jsonString(event.outcome) +
                    ",\"exit_code\":" + std::to_string(event.exitCode) +
                    ",\"stage\":" + jsonString(nameOf(result.stage)) +
                    ",\"cause\":" + jsonString(nameOf(result.cause)) +
                    ",\"stopped\":" + boolText(result.cause == UpdateResult::Cause::Stopped) +
                    ",\"erased\":" + jsonString(nameOf(result.erased)) +
                    ",\"bytes_announced\":" + std::to_string(result.bytesAnnounced) +
                    ",\"bytes_sent\":" + std::to_string(result.bytesSent) +
                    ",\"sha256\":" + (event.sha256.empty() ? "null" : jsonString(event.sha256)) +
                    ",\"started\":" + jsonString(isoText(event.started)) +
                    ",\"ended\":" + jsonString(isoText(event.time)) +
                    ",\"reason\":" + jsonString(result.reason) +
                    ",\"text\":" + jsonString(event.text);
            break;
        }
    }
    line += "}\n";
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
}

}  // namespace flashupdate::cli
