// An event pump that ends the run it serves once a stop has been asked for. Every wait of the
// procedure is a loop of pumps, so a stop is seen within one heartbeat of a wait, or after the
// current 2048 bytes of a transfer.
#pragma once

#include <atomic>

#include "serial/event_loop.h"

namespace flashupdate::cli {

class StoppingEventLoop final : public EventLoop {
public:
    StoppingEventLoop(EventLoop& inner, const std::atomic<bool>& stop);

    std::unique_ptr<Timer> createTimer() override;
    void pumpOnce() override;
    void pumpWait() override;

private:
    void throwIfStopped() const;

    EventLoop& m_inner;
    const std::atomic<bool>& m_stop;
};

}  // namespace flashupdate::cli
