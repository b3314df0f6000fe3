// Output for an operator at a terminal: statuses and messages scroll by as log lines, and
// below them each port keeps one live line (stage, bytes, percent, time left) redrawn in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/renderer.h"

namespace flashupdate::cli {

class TerminalRenderer final : public Renderer {
public:
    TerminalRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;
    void tick() override;

private:
    struct PortState {
        std::string stage;
        std::uint64_t sent = 0;
        std::uint64_t total = 0;
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
        bool ended = false;
        std::string result;
    };

    void log(const UpdateEvent& event, const std::string& text);
    void drawLiveLines();
    std::string liveLine(std::size_t port) const;

    std::vector<std::string> m_labels;
    std::vector<PortState> m_states;
    std::FILE* m_out;
    bool m_drawn = false;
};

}  // namespace flashupdate::cli
