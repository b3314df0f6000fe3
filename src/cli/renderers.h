// Turning the updates' events into output: timestamped lines for a pipe or a log, live lines
// on a terminal, or one JSON object a line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/port_event.h"

namespace flashupdate::cli {

// Turns the updates' events into output. Only the main thread calls it.
// Whole percent of the bytes to send that have been sent; 0 while nothing is to be sent.
std::uint64_t percentSent(std::uint64_t sent, std::uint64_t total);

// What a port's result adds for people: both sums as the window shows them, and the run's time:
// "checksum 3FC000 (instrument 3FC000), 29.5 s".
std::string resultDetails(const PortResult& result);
// How a port's result ends its line: " (exit status 6)", " (attempt 1 of 3, exit status 6)".
std::string statusText(const PortResult& result);
// The end of a run on several ports: "2 of 3 updated; 1 port waited for its turn; failed:
// /dev/ttyUSB1 (no-answer)".
std::string summaryText(const std::vector<PortResult>& results,
                        const std::vector<std::string>& labels, std::size_t waited);

// A port's live line in its parts; the empty ones are left out.
struct LiveLine {
    std::string label;
    std::string status;
    std::string bar;      // "[####................]"
    std::string counts;   // "2048/10000 bytes"
    std::string percent;  // "20%"
    std::string left;     // "0:12 left"
};

// The line in at most width columns: the port's name is shortened first, and the percentage and
// the time left are the last to go.
std::string fittedLiveLine(LiveLine line, std::size_t width);

// The rows that lines drawn earlier take now on a terminal of this many columns: one each, unless
// the terminal has since been made narrower than a line, which it then wraps over several rows
// (terminals rewrap their lines when resized), so the live lines are cleared whole, leaving no
// piece of an old bar above the new ones.
std::size_t rowsTaken(const std::vector<std::size_t>& lengths, std::size_t columns);

// Whether the output may move the cursor: a terminal, unless TERM says it cannot (unset, empty or
// "dumb").
bool liveOutputPossible(bool terminal, const char* term);
// Whether the output may be coloured: where it may move the cursor, unless NO_COLOR is set to
// anything but nothing (no-color.org).
bool colourAllowed(bool terminal, const char* term, const char* noColor);

// What the plain and the terminal output say of the events, a line each, at the verbosity asked
// for: the window's captions and boxes as the events carry them (event_words.h), the line's
// reasons, and the results. Quiet tells only results; verbose adds the seconds since the port's
// first event to every line and a line per stage with the time the one before took. A reason is
// given once: the run's account of its failure is left out where the line has already said why,
// and a box is left out where the account, on the same stream, has just said it with its reason.
class LogLines {
public:
    enum class Kind { Text, Diagnostic, Result };
    struct Line {
        Kind kind = Kind::Text;
        std::string text;    // a diagnostic's lines stay apart, at "\n"
        std::string timing;  // verbose: "+5.123s"
    };

    // diagnosticsApart: diagnostics go to a stream of their own. recordLines: a line per record
    // sent, for a log.
    LogLines(std::size_t ports, Verbosity verbosity, bool diagnosticsApart, bool recordLines);
    std::vector<Line> of(const PortEvent& event);
    std::vector<Line> of(const PortResult& result);

private:
    struct PortTelling {
        std::optional<std::chrono::system_clock::time_point> began;
        std::chrono::system_clock::time_point stageBegan;
        UpdateResult::Stage stage = UpdateResult::Stage::Checks;
        bool reasonGiven = false;  // the line has said why, in this stage
        bool accountSaid = false;  // the run's account has been said on the main stream
    };

    PortTelling& telling(std::size_t port, std::chrono::system_clock::time_point time);
    void enterStage(PortTelling& port, UpdateResult::Stage stage,
                    std::chrono::system_clock::time_point time);
    std::string timing(const PortTelling& port, std::chrono::system_clock::time_point time) const;

    std::vector<PortTelling> m_ports;
    Verbosity m_verbosity;
    bool m_diagnosticsApart;
    bool m_recordLines;
};

class Renderer {
public:
    virtual ~Renderer() = default;
    virtual void show(const PortEvent& event) = 0;
    // An attempt has ended, or a port will not start.
    virtual void show(const PortResult& result) = 0;
    // After every port has its result, when there were several.
    virtual void summary(const std::vector<PortResult>& results, std::size_t waited) = 0;
    // Called while no event arrives, for output that changes with time alone.
    virtual void tick() {}
};

// Output for logs and pipes: one line per event, "HH:MM:SS.mmm [PORT] text", written at once.
// Diagnostics go to err, "flashupdate-cli: [PORT] text", except in verbose output, which tells
// the whole run in one timed log.
class PlainRenderer final : public Renderer {
public:
    PlainRenderer(std::vector<std::string> portLabels, std::FILE* out,
                  Verbosity verbosity = Verbosity::Normal, std::FILE* err = stderr);
    void show(const PortEvent& event) override;
    void show(const PortResult& result) override;
    void summary(const std::vector<PortResult>& results, std::size_t waited) override;

private:
    void tell(std::size_t port, std::chrono::system_clock::time_point time,
              const std::vector<LogLines::Line>& lines);
    void write(std::chrono::system_clock::time_point time, const std::string& label,
               const std::string& text);

    std::vector<std::string> m_labels;
    std::FILE* m_out;
    std::FILE* m_err;
    bool m_diagnosticsApart;
    LogLines m_lines;
};

// Output for an operator at a terminal: statuses, messages and diagnostics scroll by as log
// lines, and below them each port still running keeps one live line (stage, a bar of the bytes
// sent, percent, time left) redrawn in place. A port's result scrolls up once, in colour when
// allowed, and its live line goes. Quiet output has no live lines. terminal: the descriptor whose
// width the lines are fitted to, where out has none of its own (a stream into an output sink);
// out's when -1.
class TerminalRenderer final : public Renderer {
public:
    TerminalRenderer(std::vector<std::string> portLabels, std::FILE* out,
                     Verbosity verbosity = Verbosity::Normal, bool colour = false,
                     int terminal = -1);
    void show(const PortEvent& event) override;
    void show(const PortResult& result) override;
    void summary(const std::vector<PortResult>& results, std::size_t waited) override;
    void tick() override;

private:
    struct PortState {
        std::string status;  // the last status text, shown as the window shows it
        UpdateResult run;    // the run's account with its last progress
        // When that progress came, which the estimate of the time left counts from.
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
        bool ended = false;
    };

    void tell(std::size_t port, std::chrono::system_clock::time_point time,
              const std::vector<LogLines::Line>& lines, const char* resultColour);
    void log(std::chrono::system_clock::time_point time, const std::string& label,
             const std::string& text, const char* colour = nullptr);
    void drawLiveLines();
    LiveLine liveLine(std::size_t port) const;

    std::vector<std::string> m_labels;
    std::vector<PortState> m_states;
    std::FILE* m_out;
    int m_terminal;
    bool m_live;
    bool m_colour;
    LogLines m_lines;
    // The length of each live line drawn last, on the screen below the log.
    std::vector<std::size_t> m_drawn;
};

// Output for programs: one JSON object per event and line, written at once.
class JsonRenderer final : public Renderer {
public:
    JsonRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const PortEvent& event) override;
    void show(const PortResult& result) override;
    void summary(const std::vector<PortResult>& results, std::size_t waited) override;

private:
    std::vector<std::string> m_labels;
    std::FILE* m_out;
};

}  // namespace flashupdate::cli
