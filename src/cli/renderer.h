// Turns the updates' events into output. Only the main thread calls it.
#pragma once

#include "cli/update_event.h"

namespace flashupdate::cli {

class Renderer {
public:
    virtual ~Renderer() = default;
    virtual void show(const UpdateEvent& event) = 0;
    // Called while no event arrives, for output that changes with time alone.
    virtual void tick() {}
};

}  // namespace flashupdate::cli
