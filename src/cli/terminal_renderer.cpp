#include "cli/terminal_renderer.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "cli/clock_text.h"
#include "cli/time_left.h"

namespace flashupdate::cli {

namespace {

// A live line that wraps would throw the cursor arithmetic off, so lines are cut to the width.
std::size_t terminalWidth(std::FILE* out) {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return 79;
}

std::string trimmedRight(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

}  // namespace

TerminalRenderer::TerminalRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_states(m_labels.size()), m_out(out) {}

void TerminalRenderer::show(const UpdateEvent& event) {
    PortState& state = m_states.at(event.port);
    switch (event.kind) {
        case EventKind::Status:
            state.stage = event.text;
            state.total = event.total;
            state.since = std::chrono::steady_clock::now();
            log(event, event.text);
            break;
        case EventKind::Message:
            for (const std::string& text : messageLines(event.text)) {
                log(event, text);
            }
            break;
        case EventKind::Progress:
            state.sent = event.sent;
            state.total = event.total;
            state.since = std::chrono::steady_clock::now();
            break;
        case EventKind::Diagnostic:
            log(event, event.text);
            break;
        case EventKind::Result:
            state.ended = true;
            state.result = event.text;
            log(event, event.text + " (exit status " + std::to_string(event.exitCode) + ")");
            break;
    }
    drawLiveLines();
}

void TerminalRenderer::tick() {
    drawLiveLines();
}

void TerminalRenderer::log(const UpdateEvent& event, const std::string& text) {
    if (m_drawn) {
        // Back to the top of the live lines; the log line takes the first one's place.
        std::fprintf(m_out, "\x1b[%zuA", m_states.size());
        m_drawn = false;
    }
    // Clears to the end of the screen: a log line longer than the terminal wraps over the next
    // live line, which is drawn again below it anyway.
    std::fprintf(m_out, "\r\x1b[J%s [%s] %s\n", clockText(event.time).c_str(),
                 m_labels.at(event.port).c_str(), text.c_str());
}

void TerminalRenderer::drawLiveLines() {
    if (m_drawn) {
        std::fprintf(m_out, "\x1b[%zuA", m_states.size());
    }
    const std::size_t width = terminalWidth(m_out);
    for (std::size_t port = 0; port < m_states.size(); ++port) {
        std::string line = liveLine(port);
        if (line.size() > width) {
            line.resize(width);
        }
        std::fprintf(m_out, "\r\x1b[2K%s\n", line.c_str());
    }
    m_drawn = true;
    std::fflush(m_out);
}

std::string TerminalRenderer::liveLine(std::size_t port) const {
    const PortState& state = m_states[port];
    std::string line = m_labels[port] + "  ";
    if (state.ended) {
        return line + state.result;
    }
    line += state.stage.empty() ? "starting" : trimmedRight(state.stage);
    const auto percent = percentSent(state.sent, state.total);
    line += "  " + std::to_string(state.sent) + "/" + std::to_string(state.total) + " bytes  " +
            std::to_string(percent) + "%";
    if (!state.stage.empty()) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - state.since);
        const auto left = std::max(std::chrono::milliseconds(0),
                                   timeLeft(state.stage, state.sent, state.total) - elapsed);
        line += "  " + minutesSecondsText(left) + " left";
    }
    return line;
}

}  // namespace flashupdate::cli
