#include "cli/renderers.h"

#include <QJsonArray>
#include <QJsonObject>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "cli/event_words.h"
#include "cli/outcome.h"
#include "cli/text_formats.h"
#include "update/number_text.h"
#include "update/program_version.h"
#include "update/protocol.h"

namespace flashupdate::cli {

namespace {

double secondsOf(const PortResult& result) {
    return std::chrono::duration<double>(result.time - result.started).count();
}

// A sum as the window shows it, or null when the run did not get that far.
QJsonValue jsonSum(const std::optional<std::uint32_t>& sum) {
    return sum ? QJsonValue(QString::fromStdString(hexText(*sum))) : QJsonValue(QJsonValue::Null);
}

}  // namespace

std::string resultDetails(const PortResult& result) {
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
std::string statusText(const PortResult& result) {
    std::string text = " (";
    if (result.attempts > 1) {
        text += "attempt " + std::to_string(result.attempt) + " of " +
                std::to_string(result.attempts) + ", ";
    }
    return text + "exit status " + std::to_string(result.exitCode) + ")";
}

std::string summaryText(const std::vector<PortResult>& results,
                        const std::vector<std::string>& labels, std::size_t waited) {
    std::size_t updated = 0;
    std::string failed;
    for (const PortResult& result : results) {
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

bool liveOutputPossible(bool terminal, const char* term) {
    return terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

bool colourAllowed(bool terminal, const char* term, const char* noColor) {
    return liveOutputPossible(terminal, term) && (noColor == nullptr || *noColor == '\0');
}

namespace {

std::string secondsText(std::chrono::system_clock::duration duration, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, std::chrono::duration<double>(duration).count());
    return text;
}

}  // namespace

LogLines::LogLines(std::size_t ports, Verbosity verbosity, bool diagnosticsApart, bool recordLines)
    : m_ports(ports),
      m_verbosity(verbosity),
      m_diagnosticsApart(diagnosticsApart),
      m_recordLines(recordLines) {}

LogLines::PortTelling& LogLines::telling(std::size_t port,
                                         std::chrono::system_clock::time_point time) {
    PortTelling& telling = m_ports.at(port);
    if (!telling.began) {
        telling.began = time;
        telling.stageBegan = time;
    }
    return telling;
}

void LogLines::enterStage(PortTelling& port, UpdateResult::Stage stage,
                          std::chrono::system_clock::time_point time) {
    port.stage = stage;
    port.stageBegan = time;
    port.reasonGiven = false;
}

std::string LogLines::timing(const PortTelling& port,
                             std::chrono::system_clock::time_point time) const {
    if (m_verbosity != Verbosity::Verbose || !port.began) {
        return {};
    }
    return secondsText(time - *port.began, "+%.3fs");
}

std::vector<LogLines::Line> LogLines::of(const PortResult& result) {
    PortTelling& port = telling(result.port, result.time);
    std::vector<Line> lines{Line{Kind::Result,
                                 result.text + "; " + resultDetails(result) + statusText(result),
                                 timing(port, result.time)}};
    // Another attempt, if one follows, starts afresh.
    enterStage(port, UpdateResult::Stage::Checks, result.time);
    port.accountSaid = false;
    return lines;
}

std::vector<LogLines::Line> LogLines::of(const PortEvent& told) {
    PortTelling& port = telling(told.port, told.time);
    std::vector<Line> lines;
    if (m_verbosity == Verbosity::Quiet) {
        return lines;
    }
    const auto say = [&](Kind kind, std::string text) {
        lines.push_back(Line{kind, std::move(text), timing(port, told.time)});
    };
    const RunEvent& event = told.event;
    const UpdateResult& run = told.run;
    using EventKind = RunEvent::Kind;
    // The verdict is the run's last stage, done.
    if ((event.kind == EventKind::StageEntered || event.kind == EventKind::Verdict) &&
        run.stage != port.stage) {
        const UpdateResult::Stage before = port.stage;
        const auto took = told.time - port.stageBegan;
        enterStage(port, run.stage, told.time);
        if (m_verbosity == Verbosity::Verbose) {
            const std::string next = nameOf(run.stage);
            const std::string previous =
                std::string(nameOf(before)) + " took " + secondsText(took, "%.3f s");
            say(Kind::Text, before == UpdateResult::Stage::Checks ? next + " begins"
                            : run.stage == UpdateResult::Stage::Done
                                ? previous
                                : previous + "; " + next + " begins");
        }
    }
    switch (event.kind) {
        case EventKind::BytesSent:
            // One line a record keeps a log readable.
            if (m_recordLines && (run.bytesSent % protocol::kRecordBytes == 0 ||
                                  run.bytesSent == run.bytesAnnounced)) {
                say(Kind::Text, std::to_string(run.bytesSent) + " of " +
                                    std::to_string(run.bytesAnnounced) + " bytes sent");
            }
            return lines;
        case EventKind::Diagnostic:
            if (!told.account) {
                port.reasonGiven = true;
            } else if (port.reasonGiven) {
                return lines;
            } else {
                port.accountSaid = !m_diagnosticsApart;
            }
            say(Kind::Diagnostic, event.text);
            return lines;
        default:
            break;
    }
    // A box that only repeats the account just said, without its reason, adds nothing; the
    // command line's own words for a port that failed do.
    const bool repeatsAccount =
        event.kind == EventKind::Failed && port.accountSaid && !portFailureText(run, told.network);
    for (std::string& text : wordsOf(event, run, told.network).lines) {
        if (!repeatsAccount) {
            say(Kind::Text, std::move(text));
        }
    }
    return lines;
}

PlainRenderer::PlainRenderer(std::vector<std::string> portLabels, std::FILE* out,
                             Verbosity verbosity, std::FILE* err)
    : m_labels(std::move(portLabels)),
      m_out(out),
      m_err(err),
      m_diagnosticsApart(verbosity != Verbosity::Verbose),
      m_lines(m_labels.size(), verbosity, m_diagnosticsApart, true) {}

void PlainRenderer::show(const PortEvent& event) {
    tell(event.port, event.time, m_lines.of(event));
}

void PlainRenderer::show(const PortResult& result) {
    tell(result.port, result.time, m_lines.of(result));
}

void PlainRenderer::tell(std::size_t port, std::chrono::system_clock::time_point time,
                         const std::vector<LogLines::Line>& lines) {
    const std::string& label = m_labels.at(port);
    for (const LogLines::Line& line : lines) {
        const std::string timing = line.timing.empty() ? std::string() : line.timing + " ";
        if (line.kind != LogLines::Kind::Diagnostic) {
            write(time, label, timing + line.text);
        } else if (m_diagnosticsApart) {
            // For whoever debugs the line; the log on standard output stays the window's words.
            std::fflush(m_out);
            std::fprintf(m_err, "flashupdate-cli: [%s] %s\n", printable(label).c_str(),
                         printableLines(line.text).c_str());
            std::fflush(m_err);
        } else {
            for (const std::string& text : messageLines(line.text, "\n")) {
                write(time, label, timing + text);
            }
        }
    }
}

void PlainRenderer::summary(const std::vector<PortResult>& results, std::size_t waited) {
    write(std::chrono::system_clock::now(), "all", summaryText(results, m_labels, waited));
}

void PlainRenderer::write(std::chrono::system_clock::time_point time, const std::string& label,
                          const std::string& text) {
    std::fprintf(m_out, "%s [%s] %s\n", clockText(time).c_str(), printable(label).c_str(),
                 printable(text).c_str());
    std::fflush(m_out);
}

namespace {

// A live line that wraps would throw the cursor arithmetic off, so lines are cut to the width.
std::size_t terminalWidth(int terminal) {
    winsize size{};
    if (ioctl(terminal, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return 79;
}

std::string trimmedRight(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr std::size_t kBarWidth = 20;

const char* outcomeColour(const PortResult& result) {
    if (result.exitCode == kUpdated) {
        return kGreen;
    }
    return result.result.cause == UpdateResult::Cause::Stopped ? kYellow : kRed;
}

// "[########............]"
std::string bar(std::uint64_t sent, std::uint64_t total) {
    const std::size_t full =
        total == 0 ? 0 : static_cast<std::size_t>(std::min(sent, total) * kBarWidth / total);
    // Filled in place: GCC 12 warns falsely (-Wrestrict) on "[" + string in an optimised build.
    std::string text(kBarWidth + 2, '.');
    text.front() = '[';
    text.back() = ']';
    std::fill_n(text.begin() + 1, full, '#');
    return text;
}

}  // namespace

TerminalRenderer::TerminalRenderer(std::vector<std::string> portLabels, std::FILE* out,
                                   Verbosity verbosity, bool colour, int terminal)
    : m_labels(std::move(portLabels)),
      m_states(m_labels.size()),
      m_out(out),
      m_terminal(terminal >= 0 ? terminal : fileno(out)),
      m_live(verbosity != Verbosity::Quiet),
      m_colour(colour),
      m_lines(m_labels.size(), verbosity, false, false) {}

void TerminalRenderer::show(const PortEvent& event) {
    PortState& state = m_states.at(event.port);
    using Kind = RunEvent::Kind;
    const std::vector<std::string> statuses =
        wordsOf(event.event, event.run, event.network).statuses;
    if (!statuses.empty()) {
        state.status = statuses.back();
    }
    switch (event.event.kind) {
        case Kind::StageEntered:
        case Kind::MemoryErased:
        case Kind::BytesSent:
        case Kind::Verdict:
            state.run = event.run;
            state.since = std::chrono::steady_clock::now();
            break;
        default:
            break;
    }
    tell(event.port, event.time, m_lines.of(event), nullptr);
    drawLiveLines();
}

void TerminalRenderer::show(const PortResult& result) {
    PortState& state = m_states.at(result.port);
    // An attempt that will be followed by another leaves the live line going.
    if (result.last) {
        state.ended = true;
    } else {
        state = PortState{};
    }
    tell(result.port, result.time, m_lines.of(result), outcomeColour(result));
    drawLiveLines();
}

void TerminalRenderer::tell(std::size_t port, std::chrono::system_clock::time_point time,
                            const std::vector<LogLines::Line>& lines, const char* resultColour) {
    const std::string& label = m_labels.at(port);
    for (const LogLines::Line& line : lines) {
        const std::string timing = line.timing.empty() ? std::string() : line.timing + " ";
        if (line.kind == LogLines::Kind::Diagnostic) {
            // A reason and its remedy, each on a line of its own.
            for (const std::string& text : messageLines(line.text, "\n")) {
                log(time, label, timing + text);
            }
        } else {
            log(time, label, timing + line.text,
                line.kind == LogLines::Kind::Result ? resultColour : nullptr);
        }
    }
}

void TerminalRenderer::summary(const std::vector<PortResult>& results, std::size_t waited) {
    const bool all = std::all_of(results.begin(), results.end(), [](const PortResult& result) {
        return result.exitCode == kUpdated;
    });
    const bool stopped = std::any_of(results.begin(), results.end(), [](const PortResult& result) {
        return result.result.cause == UpdateResult::Cause::Stopped;
    });
    log(std::chrono::system_clock::now(), "all", summaryText(results, m_labels, waited),
        all       ? kGreen
        : stopped ? kYellow
                  : kRed);
    drawLiveLines();
}

void TerminalRenderer::tick() {
    drawLiveLines();
}

void TerminalRenderer::log(std::chrono::system_clock::time_point time, const std::string& label,
                           const std::string& text, const char* colour) {
    if (!m_drawn.empty()) {
        // Back to the top of the live lines, cleared to the end of the screen: the log line
        // takes the first one's place, and one longer than the terminal wraps over the next,
        // which is drawn again below it anyway.
        std::fprintf(m_out, "\x1b[%zuA\r\x1b[J", rowsTaken(m_drawn, terminalWidth(m_terminal) + 1));
        m_drawn.clear();
    }
    const bool coloured = m_colour && colour != nullptr;
    std::fprintf(m_out, "%s [%s] %s%s%s\n", clockText(time).c_str(), printable(label).c_str(),
                 coloured ? colour : "", printable(text).c_str(), coloured ? "\x1b[0m" : "");
    std::fflush(m_out);
}

void TerminalRenderer::drawLiveLines() {
    if (!m_live) {
        return;
    }
    const std::size_t width = terminalWidth(m_terminal);
    const std::size_t drawn = rowsTaken(m_drawn, width + 1);
    if (drawn > 0) {
        std::fprintf(m_out, "\x1b[%zuA", drawn);
    }
    // A terminal made narrower has wrapped the old lines over more rows than there are new ones.
    const bool rewrapped = drawn > m_drawn.size();
    std::vector<std::size_t> lengths;
    for (std::size_t port = 0; port < m_states.size(); ++port) {
        if (m_states[port].ended) {
            continue;
        }
        const std::string line = fittedLiveLine(liveLine(port), width);
        std::fprintf(m_out, "\r\x1b[2K%s\n", line.c_str());
        lengths.push_back(line.size());
    }
    // The lines of ports that have ended since, and what is left of lines rewrapped.
    if (lengths.size() < drawn || rewrapped) {
        std::fprintf(m_out, "\r\x1b[J");
    }
    m_drawn = std::move(lengths);
    std::fflush(m_out);
}

LiveLine TerminalRenderer::liveLine(std::size_t port) const {
    const PortState& state = m_states[port];
    LiveLine line;
    line.label = printable(m_labels[port]);
    if (state.status.empty() && state.run.stage == UpdateResult::Stage::Checks) {
        line.status = "waiting";
        return line;
    }
    const UpdateResult& run = state.run;
    line.status = state.status.empty() ? "starting" : printable(trimmedRight(state.status));
    line.bar = bar(run.bytesSent, run.bytesAnnounced);
    line.counts =
        std::to_string(run.bytesSent) + "/" + std::to_string(run.bytesAnnounced) + " bytes";
    line.percent = std::to_string(percentSent(run.bytesSent, run.bytesAnnounced)) + "%";
    if (run.stage != UpdateResult::Stage::Checks) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - state.since);
        const auto left =
            std::max(std::chrono::milliseconds(0),
                     timeLeft(run.stage, run.erased, run.bytesSent, run.bytesAnnounced) - elapsed);
        line.left = minutesSecondsText(left) + " left";
    }
    return line;
}

namespace {

std::string joined(const LiveLine& line) {
    std::string text = line.label + "  " + line.status;
    if (!line.bar.empty() || !line.counts.empty()) {
        text += " ";
    }
    for (const std::string* part : {&line.bar, &line.counts}) {
        text += part->empty() ? "" : " " + *part;
    }
    for (const std::string* part : {&line.percent, &line.left}) {
        text += part->empty() ? "" : "  " + *part;
    }
    return text;
}

// Down to the name's end, where a device's own part is ("...ttyUSB0", "...-if00-port0").
void shortenLabel(std::string& label, std::size_t excess, std::size_t shortest) {
    constexpr std::string_view kEllipsis = "...";
    if (label.size() <= shortest || excess == 0) {
        return;
    }
    const std::size_t keep = std::max(shortest, label.size() - std::min(excess, label.size()));
    if (keep >= label.size() || keep <= kEllipsis.size()) {
        return;
    }
    label = std::string(kEllipsis) + label.substr(label.size() - (keep - kEllipsis.size()));
}

}  // namespace

std::size_t rowsTaken(const std::vector<std::size_t>& lengths, std::size_t columns) {
    std::size_t rows = 0;
    for (const std::size_t length : lengths) {
        rows += columns == 0 || length <= columns ? 1 : (length + columns - 1) / columns;
    }
    return rows;
}

std::string fittedLiveLine(LiveLine line, std::size_t width) {
    // What a port's name keeps before anything else goes: enough to tell the ports apart.
    constexpr std::size_t kShortestLabel = 12;
    const auto excess = [&] {
        const std::size_t length = joined(line).size();
        return length > width ? length - width : 0;
    };
    // The figures that say how far the port has come go last: first the name is shortened, then
    // the byte counts and the bar go, then the status is cut.
    shortenLabel(line.label, excess(), kShortestLabel);
    for (std::string* part : {&line.counts, &line.bar}) {
        if (excess() > 0) {
            part->clear();
        }
    }
    if (const std::size_t over = excess(); over > 0) {
        line.status.resize(line.status.size() - std::min(over, line.status.size()));
    }
    shortenLabel(line.label, excess(), 4);
    std::string text = joined(line);
    if (text.size() > width) {
        text.resize(width);
    }
    return text;
}

JsonRenderer::JsonRenderer(std::vector<std::string> portLabels, std::FILE* out)
    : m_labels(std::move(portLabels)), m_out(out) {}

void JsonRenderer::show(const PortEvent& told) {
    const auto line = [&](const char* kind) {
        return QJsonObject{{"time", jsonText(isoText(told.time))},
                           {"port", jsonText(m_labels.at(told.port))},
                           {"event", kind}};
    };
    const UpdateResult& run = told.run;
    switch (told.event.kind) {
        case RunEvent::Kind::BytesSent: {
            QJsonObject progress = line("progress");
            const auto left = timeLeft(run.stage, run.erased, run.bytesSent, run.bytesAnnounced);
            progress["sent"] = static_cast<qint64>(run.bytesSent);
            progress["total"] = static_cast<qint64>(run.bytesAnnounced);
            progress["percent"] =
                static_cast<qint64>(percentSent(run.bytesSent, run.bytesAnnounced));
            progress["seconds_left"] = static_cast<qint64>((left.count() + 999) / 1000);
            writeJsonLine(progress, m_out);
            return;
        }
        case RunEvent::Kind::Diagnostic: {
            QJsonObject diagnostic = line("diagnostic");
            diagnostic["text"] = jsonText(trimmedLines(told.event.text));
            writeJsonLine(diagnostic, m_out);
            return;
        }
        default:
            break;
    }
    // A stage entered or the erase answered changes no number a program reads; the window's
    // words for them do.
    const EventWords words = wordsOf(told.event, run, told.network);
    for (const std::string& caption : words.statuses) {
        QJsonObject status = line("status");
        status["text"] = jsonText(caption);
        writeJsonLine(status, m_out);
    }
    if (!words.message.empty()) {
        QJsonObject message = line("message");
        message["text"] = jsonText(trimmedLines(words.message));
        writeJsonLine(message, m_out);
    }
}

void JsonRenderer::show(const PortResult& event) {
    const UpdateResult& result = event.result;
    QJsonObject line{{"time", jsonText(isoText(event.time))},
                     {"port", jsonText(m_labels.at(event.port))},
                     {"event", "result"}};
    line["attempt"] = event.attempt;
    line["last"] = event.last;
    line["outcome"] = jsonText(event.outcome);
    line["exit_code"] = event.exitCode;
    line["stage"] = nameOf(result.stage);
    line["cause"] = nameOf(result.cause);
    const std::optional<FailureKind> failure = result.failure();
    line["failure"] = failure ? QJsonValue(nameOf(*failure)) : QJsonValue(QJsonValue::Null);
    line["stopped"] = result.cause == UpdateResult::Cause::Stopped;
    line["signal"] = event.signal > 0 ? QJsonValue(jsonText(signalName(event.signal)))
                                      : QJsonValue(QJsonValue::Null);
    line["erased"] = nameOf(result.erased);
    line["power_cycle"] = result.powerCycleNeeded();
    line["bytes_announced"] = static_cast<qint64>(result.bytesAnnounced);
    line["bytes_sent"] = static_cast<qint64>(result.bytesSent);
    line["sha256"] = jsonTextOrNull(event.sha256);
    line["run"] = jsonTextOrNull(event.runId);
    line["version"] = programVersion();
    line["image"] = jsonTextOrNull(event.subject.image);
    line["image_bytes"] = event.imageBytes ? QJsonValue(static_cast<qint64>(*event.imageBytes))
                                           : QJsonValue(QJsonValue::Null);
    line["device"] = jsonTextOrNull(event.subject.device);
    line["adapter_serial"] = jsonTextOrNull(event.subject.adapterSerial);
    line["label"] = jsonTextOrNull(event.subject.label);
    line["boot_loader"] = jsonTextOrNull(event.subject.bootLoader);
    line["boot_loader_sha256"] = jsonTextOrNull(event.subject.bootLoaderSha256);
    line["started"] = jsonText(isoText(event.started));
    line["ended"] = jsonText(isoText(event.time));
    line["file_checksum"] = jsonSum(result.fileCheckSum);
    line["device_checksum"] = jsonSum(result.deviceCheckSum);
    line["seconds"] = std::round(secondsOf(event) * 1000) / 1000;
    line["reason"] = jsonText(trimmedLines(result.reason));
    line["text"] = jsonText(event.text);
    writeJsonLine(line, m_out);
}

void JsonRenderer::summary(const std::vector<PortResult>& results, std::size_t waited) {
    qint64 updated = 0;
    QJsonArray failed;
    for (const PortResult& result : results) {
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
