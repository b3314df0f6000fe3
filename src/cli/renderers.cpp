#include "cli/renderers.h"

#include <QJsonArray>
#include <QJsonObject>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "cli/outcome.h"
#include "cli/text_formats.h"
#include "update/number_text.h"
#include "update/protocol.h"

namespace flashupdate::cli {

namespace {

double secondsOf(const UpdateEvent& result) {
    return std::chrono::duration<double>(result.time - result.started).count();
}

// A sum as the window shows it, or null when the run did not get that far.
QJsonValue jsonSum(const std::optional<std::uint32_t>& sum) {
    return sum ? QJsonValue(QString::fromStdString(hexText(*sum))) : QJsonValue(QJsonValue::Null);
}

}  // namespace

std::string resultDetails(const UpdateEvent& result) {
    std::string details;
    const UpdateResult& run = result.result;
    if (run.fileCheckSum) {
        details += "checksum " + hexText(*run.fileCheckSum);
        if (run.deviceCheckSum) {
            details += " (instrument " + hexText(*run.deviceCheckSum) + ")";
        }
        details += ", ";
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", secondsOf(result));
    return details + seconds;
}

// " (exit status 6)", or " (attempt 1 of 3, exit status 6)" when the port may be tried again.
std::string statusText(const UpdateEvent& result) {
    std::string text = " (";
    if (result.attempts > 1) {
        text += "attempt " + std::to_string(result.attempt) + " of " +
                std::to_string(result.attempts) + ", ";
    }
    return text + "exit status " + std::to_string(result.exitCode) + ")";
}

std::string summaryText(const std::vector<UpdateEvent>& results,
                        const std::vector<std::string>& labels, std::size_t waited) {
    std::size_t updated = 0;
    std::string failed;
    for (const UpdateEvent& result : results) {
        if (result.exitCode == kUpdated) {
            ++updated;
        } else {
            failed += (failed.empty() ? "; failed: " : ", ") + labels.at(result.port) + " (" +
                      result.outcome + ")";
        }
    }
    const std::string turns = waited == 0 ? std::string()
                                          : "; " + std::to_string(waited) +
                                                (waited == 1 ? " port waited for its turn"
                                                             : " ports waited for their turn");
    return std::to_string(updated) + " of " + std::to_string(results.size()) + " updated" + turns +
           failed;
}

std::uint64_t percentSent(std::uint64_t sent, std::uint64_t total) {
    return total == 0 ? 0 : sent * 100 / total;
}

PlainRenderer::PlainRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_out(out) {}

void PlainRenderer::show(const UpdateEvent& event) {
    switch (event.kind) {
        case EventKind::Status:
            line(event, trimmedLines(event.text));
            break;
        case EventKind::Message:
            // A message box's lines each become a line of the log.
            for (const std::string& text : messageLines(trimmedLines(event.text))) {
                line(event, text);
            }
            break;
        case EventKind::Progress: {
            // One line a record keeps a log readable.
            const UpdateResult& run = event.result;
            if (event.progress == Progress::BytesSent &&
                (run.bytesSent % protocol::kRecordBytes == 0 ||
                 run.bytesSent == run.bytesAnnounced)) {
                line(event, std::to_string(run.bytesSent) + " of " +
                                std::to_string(run.bytesAnnounced) + " bytes sent");
            }
            break;
        }
        case EventKind::Diagnostic:
            // For whoever debugs the line; the log on standard output stays the window's words.
            std::fflush(m_out);
            std::fprintf(stderr, "flashupdate-cli: [%s] %s\n",
                         printable(m_labels.at(event.port)).c_str(),
                         printableLines(event.text).c_str());
            break;
        case EventKind::Result:
            line(event, event.text + "; " + resultDetails(event) + statusText(event));
            break;
    }
}

void PlainRenderer::summary(const std::vector<UpdateEvent>& results, std::size_t waited) {
    write(std::chrono::system_clock::now(), "all", summaryText(results, m_labels, waited));
}

void PlainRenderer::line(const UpdateEvent& event, const std::string& text) {
    write(event.time, m_labels.at(event.port), text);
}

void PlainRenderer::write(std::chrono::system_clock::time_point time, const std::string& label,
                          const std::string& text) {
    std::fprintf(m_out, "%s [%s] %s\n", clockText(time).c_str(), printable(label).c_str(),
                 printable(text).c_str());
    std::fflush(m_out);
}

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
            state.status = trimmedLines(event.text);
            log(event, state.status);
            break;
        case EventKind::Message:
            for (const std::string& text : messageLines(trimmedLines(event.text))) {
                log(event, text);
            }
            break;
        case EventKind::Progress:
            state.run = event.result;
            state.since = std::chrono::steady_clock::now();
            break;
        case EventKind::Diagnostic:
            // A reason and its remedy, each on a line of its own.
            for (const std::string& text : messageLines(event.text, "\n")) {
                log(event, text);
            }
            break;
        case EventKind::Result:
            // An attempt that will be followed by another leaves the live line going.
            state.ended = event.last;
            state.result = event.text + "; " + resultDetails(event);
            log(event, state.result + statusText(event));
            break;
    }
    drawLiveLines();
}

void TerminalRenderer::summary(const std::vector<UpdateEvent>& results, std::size_t waited) {
    log(std::chrono::system_clock::now(), "all", summaryText(results, m_labels, waited));
    drawLiveLines();
}

void TerminalRenderer::tick() {
    drawLiveLines();
}

void TerminalRenderer::log(const UpdateEvent& event, const std::string& text) {
    log(event.time, m_labels.at(event.port), text);
}

void TerminalRenderer::log(std::chrono::system_clock::time_point time, const std::string& label,
                           const std::string& text) {
    if (m_drawn) {
        // Back to the top of the live lines; the log line takes the first one's place.
        std::fprintf(m_out, "\x1b[%zuA", m_states.size());
        m_drawn = false;
    }
    // Clears to the end of the screen: a log line longer than the terminal wraps over the next
    // live line, which is drawn again below it anyway.
    std::fprintf(m_out, "\r\x1b[J%s [%s] %s\n", clockText(time).c_str(), printable(label).c_str(),
                 printable(text).c_str());
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
    std::string line = printable(m_labels[port]) + "  ";
    if (state.ended) {
        return line + printable(state.result);
    }
    const UpdateResult& run = state.run;
    line += state.status.empty() ? "starting" : printable(trimmedRight(state.status));
    const auto percent = percentSent(run.bytesSent, run.bytesAnnounced);
    line += "  " + std::to_string(run.bytesSent) + "/" + std::to_string(run.bytesAnnounced) +
            " bytes  " + std::to_string(percent) + "%";
    if (run.stage != UpdateResult::Stage::Checks) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - state.since);
        const auto left =
            std::max(std::chrono::milliseconds(0),
                     timeLeft(run.stage, run.erased, run.bytesSent, run.bytesAnnounced) - elapsed);
        line += "  " + minutesSecondsText(left) + " left";
    }
    return line;
}

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

}  // namespace

JsonRenderer::JsonRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_out(out) {}

void JsonRenderer::show(const UpdateEvent& event) {
    // A stage entered or the erase answered changes no number a program reads; the counts do.
    if (event.kind == EventKind::Progress && event.progress != Progress::BytesSent) {
        return;
    }
    QJsonObject line{{"time", jsonText(isoText(event.time))},
                     {"port", jsonText(m_labels.at(event.port))},
                     {"event", kindName(event.kind)}};
    switch (event.kind) {
        case EventKind::Status:
        case EventKind::Message:
        case EventKind::Diagnostic:
            line["text"] = jsonText(trimmedLines(event.text));
            break;
        case EventKind::Progress: {
            const UpdateResult& run = event.result;
            const auto left = timeLeft(run.stage, run.erased, run.bytesSent, run.bytesAnnounced);
            line["sent"] = static_cast<qint64>(run.bytesSent);
            line["total"] = static_cast<qint64>(run.bytesAnnounced);
            line["percent"] = static_cast<qint64>(percentSent(run.bytesSent, run.bytesAnnounced));
            line["seconds_left"] = static_cast<qint64>((left.count() + 999) / 1000);
            break;
        }
        case EventKind::Result: {
            const UpdateResult& result = event.result;
            line["attempt"] = event.attempt;
            line["last"] = event.last;
            line["outcome"] = jsonText(event.outcome);
            line["exit_code"] = event.exitCode;
            line["stage"] = nameOf(result.stage);
            line["cause"] = nameOf(result.cause);
            line["stopped"] = result.cause == UpdateResult::Cause::Stopped;
            line["signal"] = event.signal > 0 ? QJsonValue(jsonText(signalName(event.signal)))
                                              : QJsonValue(QJsonValue::Null);
            line["erased"] = nameOf(result.erased);
            line["power_cycle"] = result.powerCycleNeeded();
            line["bytes_announced"] = static_cast<qint64>(result.bytesAnnounced);
            line["bytes_sent"] = static_cast<qint64>(result.bytesSent);
            line["sha256"] = jsonTextOrNull(event.sha256);
            line["started"] = jsonText(isoText(event.started));
            line["ended"] = jsonText(isoText(event.time));
            line["file_checksum"] = jsonSum(result.fileCheckSum);
            line["device_checksum"] = jsonSum(result.deviceCheckSum);
            line["seconds"] = std::round(secondsOf(event) * 1000) / 1000;
            line["reason"] = jsonText(trimmedLines(result.reason));
            line["text"] = jsonText(event.text);
            break;
        }
    }
    writeJsonLine(line, m_out);
}

void JsonRenderer::summary(const std::vector<UpdateEvent>& results, std::size_t waited) {
    qint64 updated = 0;
    QJsonArray failed;
    for (const UpdateEvent& result : results) {
        if (result.exitCode == kUpdated) {
            ++updated;
            continue;
        }
        failed.append(QJsonObject{{"port", jsonText(m_labels.at(result.port))},
                                  {"outcome", jsonText(result.outcome)},
                                  {"exit_code", result.exitCode}});
    }
    writeJsonLine(QJsonObject{{"time", jsonText(isoText(std::chrono::system_clock::now()))},
                              {"event", "summary"},
                              {"ports", static_cast<qint64>(results.size())},
                              {"updated", updated},
                              {"waited", static_cast<qint64>(waited)},
                              {"failed", failed}},
                  m_out);
}

}  // namespace flashupdate::cli
