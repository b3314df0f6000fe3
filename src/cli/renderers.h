// Turning the updates' events into output: timestamped lines for a pipe or a log, live lines
// on a terminal, or one JSON object a line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/view.h"

namespace flashupdate::cli {

// Turns the updates' events into output. Only the main thread calls it.
// Whole percent of the bytes to send that have been sent; 0 while nothing is to be sent.
std::uint64_t percentSent(std::uint64_t sent, std::uint64_t total);

// What a port's result adds for people: both sums as the window shows them, and the run's time:
// "checksum 3FC000 (instrument 3FC000), 29.5 s".
std::string resultDetails(const UpdateEvent& result);
// How a port's result ends its line: " (exit status 6)", " (attempt 1 of 3, exit status 6)".
std::string statusText(const UpdateEvent& result);
// The end of a run on several ports: "2 of 3 updated; 1 port waited for its turn; failed:
// /dev/ttyUSB1 (no-answer)".
std::string summaryText(const std::vector<UpdateEvent>& results,
                        const std::vector<std::string>& labels, std::size_t waited);

class Renderer {
public:
    virtual ~Renderer() = default;
    virtual void show(const UpdateEvent& event) = 0;
    // After every port has its result, when there were several.
    virtual void summary(const std::vector<UpdateEvent>& results, std::size_t waited) = 0;
    // Called while no event arrives, for output that changes with time alone.
    virtual void tick() {}
};

// Output for logs and pipes: one line per event, "HH:MM:SS.mmm [PORT] text", written at once.
class PlainRenderer final : public Renderer {
public:
    PlainRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;
    void summary(const std::vector<UpdateEvent>& results, std::size_t waited) override;

private:
    void line(const UpdateEvent& event, const std::string& text);
    void write(std::chrono::system_clock::time_point time, const std::string& label,
               const std::string& text);

    std::vector<std::string> m_labels;
    std::FILE* m_out;
};

// Output for an operator at a terminal: statuses and messages scroll by as log lines, and
// below them each port keeps one live line (stage, bytes, percent, time left) redrawn in place.
class TerminalRenderer final : public Renderer {
public:
    TerminalRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;
    void summary(const std::vector<UpdateEvent>& results, std::size_t waited) override;
    void tick() override;

private:
    struct PortState {
        std::string status;  // the last status text, shown as the window shows it
        UpdateResult run;    // the run's account with its last progress
        // When that progress came, which the estimate of the time left counts from.
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
        bool ended = false;
        std::string result;
    };

    void log(const UpdateEvent& event, const std::string& text);
    void log(std::chrono::system_clock::time_point time, const std::string& label,
             const std::string& text);
    void drawLiveLines();
    std::string liveLine(std::size_t port) const;

    std::vector<std::string> m_labels;
    std::vector<PortState> m_states;
    std::FILE* m_out;
    bool m_drawn = false;
};

// Output for programs: one JSON object per event and line, written at once.
class JsonRenderer final : public Renderer {
public:
    JsonRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;
    void summary(const std::vector<UpdateEvent>& results, std::size_t waited) override;

private:
    std::vector<std::string> m_labels;
    std::FILE* m_out;
};

}  // namespace flashupdate::cli
