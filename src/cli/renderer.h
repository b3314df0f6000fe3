// Turns the updates' events into output. Only the main thread calls it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/update_event.h"

namespace flashupdate::cli {

// The lines of a message box's text, which has "\r\n" between them.
std::vector<std::string> messageLines(const std::string& text);

// Whole percent of the bytes to send that have been sent; 0 while nothing is to be sent.
std::uint64_t percentSent(std::uint64_t sent, std::uint64_t total);

class Renderer {
public:
    virtual ~Renderer() = default;
    virtual void show(const UpdateEvent& event) = 0;
    // Called while no event arrives, for output that changes with time alone.
    virtual void tick() {}
};

}  // namespace flashupdate::cli
