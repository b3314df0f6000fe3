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
#include "update/program_version.h"
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

bool liveOutputPossible(bool terminal, const char* term) {
    return terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

bool colourAllowed(bool terminal, const char* term, const char* noColor) {
    return liveOutputPossible(terminal, term) && (noColor == nullptr || *noColor == '\0');
}

namespace {

// A text said before in this stage, alone or as the lead of the run's account of its failure
// ("Can't find size of X" in "Can't find size of X (X: No such file or directory)").
bool saidBefore(const std::vector<std::string>& said, const std::string& text) {
    return std::any_of(said.begin(), said.end(), [&](const std::string& before) {
        return before == text || (before.size() > text.size() + 2 && before.starts_with(text) &&
                                  before.compare(text.size(), 2, " (") == 0);
    });
}

std::string secondsText(std::chrono::system_clock::duration duration, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, std::chrono::duration<double>(duration).count());
    return text;
}

}  // namespace

Narration::Narration(std::size_t ports, Verbosity verbosity, bool diagnosticsApart,
                     bool recordLines)
    : m_ports(ports),
      m_verbosity(verbosity),
      m_diagnosticsApart(diagnosticsApart),
      m_recordLines(recordLines) {}

bool Narration::supersededByVerdict(const UpdateEvent& event) {
    const UpdateResult& run = event.result;
    return event.kind == EventKind::Status && run.stage != UpdateResult::Stage::Done &&
           run.fileCheckSum && run.deviceCheckSum && *run.fileCheckSum != *run.deviceCheckSum;
}

void Narration::enterStage(PortTelling& port, UpdateResult::Stage stage,
                           std::chrono::system_clock::time_point time) {
    port.stage = stage;
    port.stageBegan = time;
    port.said.clear();
    port.saidApart.clear();
    port.reasonGiven = false;
}

std::string Narration::timing(const PortTelling& port,
                              std::chrono::system_clock::time_point time) const {
    if (m_verbosity != Verbosity::Verbose || !port.began) {
        return {};
    }
    return secondsText(time - *port.began, "+%.3fs");
}

std::vector<Narration::Line> Narration::tell(const UpdateEvent& event) {
    PortTelling& port = m_ports.at(event.port);
    if (!port.began) {
        port.began = event.time;
        port.stageBegan = event.time;
    }
    std::vector<Line> lines;
    const auto say = [&](Kind kind, std::string text) {
        lines.push_back(Line{kind, std::move(text), timing(port, event.time)});
    };
    if (event.kind == EventKind::Result) {
        say(Kind::Result, event.text + "; " + resultDetails(event) + statusText(event));
        // Another attempt, if one follows, starts afresh.
        enterStage(port, UpdateResult::Stage::Checks, event.time);
        return lines;
    }
    if (m_verbosity == Verbosity::Quiet) {
        return lines;
    }
    switch (event.kind) {
        case EventKind::Progress: {
            const UpdateResult& run = event.result;
            if (event.progress == Progress::StageEntered && run.stage != port.stage) {
                const UpdateResult::Stage before = port.stage;
                const auto took = event.time - port.stageBegan;
                enterStage(port, run.stage, event.time);
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
            // One line a record keeps a log readable.
            if (m_recordLines && event.progress == Progress::BytesSent &&
                (run.bytesSent % protocol::kRecordBytes == 0 ||
                 run.bytesSent == run.bytesAnnounced)) {
                say(Kind::Text, std::to_string(run.bytesSent) + " of " +
                                    std::to_string(run.bytesAnnounced) + " bytes sent");
            }
            break;
        }
        case EventKind::Status: {
            const std::string text = trimmedLines(event.text);
            if (!supersededByVerdict(event) && !text.empty() && !saidBefore(port.said, text)) {
                port.said.push_back(text);
                say(Kind::Text, text);
            }
            break;
        }
        case EventKind::Message:
            // A message box's lines each become a line, those the status line has just said
            // left out.
            for (const std::string& text : messageLines(trimmedLines(event.text))) {
                if (!text.empty() && !saidBefore(port.said, text)) {
                    port.said.push_back(text);
                    say(Kind::Text, text);
                }
            }
            break;
        case EventKind::Diagnostic: {
            // The run's account of its failure is the message it is about to show with the
            // reason behind it; once the line has given that reason it adds nothing.
            const bool account = event.result.cause != UpdateResult::Cause::None &&
                                 event.text == event.result.reason;
            std::vector<std::string>& said = m_diagnosticsApart ? port.saidApart : port.said;
            if ((account && port.reasonGiven) || saidBefore(said, event.text)) {
                break;
            }
            port.reasonGiven = true;
            said.push_back(event.text);
            for (const std::string& text : messageLines(event.text, "\n")) {
                said.push_back(text);
            }
            say(Kind::Diagnostic, event.text);
            break;
        }
        case EventKind::Result:
            break;
    }
    return lines;
}

PlainRenderer::PlainRenderer(std::vector<std::string> portLabels, std::FILE* out,
                             Verbosity verbosity, std::FILE* err)
    : m_labels(std::move(portLabels)),
      m_out(out),
      m_err(err),
      m_diagnosticsApart(verbosity != Verbosity::Verbose),
      m_narration(m_labels.size(), verbosity, m_diagnosticsApart, true) {}

void PlainRenderer::show(const UpdateEvent& event) {
    const std::string& label = m_labels.at(event.port);
    for (const Narration::Line& line : m_narration.tell(event)) {
        const std::string timing = line.timing.empty() ? std::string() : line.timing + " ";
        if (line.kind != Narration::Kind::Diagnostic) {
            write(event.time, label, timing + line.text);
        } else if (m_diagnosticsApart) {
            // For whoever debugs the line; the log on standard output stays the window's words.
            std::fflush(m_out);
            std::fprintf(m_err, "flashupdate-cli: [%s] %s\n", printable(label).c_str(),
                         printableLines(line.text).c_str());
            std::fflush(m_err);
        } else {
            for (const std::string& text : messageLines(line.text, "\n")) {
                write(event.time, label, timing + text);
            }
        }
    }
}

void PlainRenderer::summary(const std::vector<UpdateEvent>& results, std::size_t waited) {
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

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr std::size_t kBarWidth = 20;

const char* outcomeColour(const UpdateEvent& result) {
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
                                   Verbosity verbosity, bool colour)
    : m_labels(std::move(portLabels)),
      m_states(m_labels.size()),
      m_out(out),
      m_live(verbosity != Verbosity::Quiet),
      m_colour(colour),
      m_narration(m_labels.size(), verbosity, false, false) {}

void TerminalRenderer::show(const UpdateEvent& event) {
    PortState& state = m_states.at(event.port);
    switch (event.kind) {
        case EventKind::Status:
            if (!Narration::supersededByVerdict(event)) {
                state.status = trimmedLines(event.text);
            }
            break;
        case EventKind::Progress:
            state.run = event.result;
            state.since = std::chrono::steady_clock::now();
            break;
        case EventKind::Result:
            // An attempt that will be followed by another leaves the live line going.
            if (event.last) {
                state.ended = true;
            } else {
                state = PortState{};
            }
            break;
        case EventKind::Message:
        case EventKind::Diagnostic:
            break;
    }
    const std::string& label = m_labels.at(event.port);
    for (const Narration::Line& line : m_narration.tell(event)) {
        const std::string timing = line.timing.empty() ? std::string() : line.timing + " ";
        if (line.kind == Narration::Kind::Diagnostic) {
            // A reason and its remedy, each on a line of its own.
            for (const std::string& text : messageLines(line.text, "\n")) {
                log(event.time, label, timing + text);
            }
        } else {
            log(event.time, label, timing + line.text,
                line.kind == Narration::Kind::Result ? outcomeColour(event) : nullptr);
        }
    }
    drawLiveLines();
}

void TerminalRenderer::summary(const std::vector<UpdateEvent>& results, std::size_t waited) {
    const bool all = std::all_of(results.begin(), results.end(), [](const UpdateEvent& result) {
        return result.exitCode == kUpdated;
    });
    const bool stopped = std::any_of(results.begin(), results.end(), [](const UpdateEvent& result) {
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
        std::fprintf(m_out, "\x1b[%zuA\r\x1b[J", rowsTaken(m_drawn, terminalWidth(m_out) + 1));
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
    const std::size_t width = terminalWidth(m_out);
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
            line["image_bytes"] = event.imageBytes
                                      ? QJsonValue(static_cast<qint64>(*event.imageBytes))
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
