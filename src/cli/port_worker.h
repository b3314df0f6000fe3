// One port's update in a thread of its own. Its event pump, serial port, timers and procedure
// are made inside the thread, so their Qt objects belong to it and one port's waits never hold
// up another's.
#pragma once

#include <QThread>
#include <atomic>
#include <cstddef>
#include <filesystem>

#include "cli/event_queue.h"
#include "cli/port_target.h"

namespace flashupdate::cli {

class PortWorker final : public QThread {
public:
    PortWorker(std::size_t index, PortTarget target, std::filesystem::path image,
               std::filesystem::path bootLoader, EventQueue& events, const std::atomic<bool>& stop);

protected:
    void run() override;

private:
    std::size_t m_index;
    PortTarget m_target;
    std::filesystem::path m_image;
    std::filesystem::path m_bootLoader;
    EventQueue& m_events;
    const std::atomic<bool>& m_stop;
};

}  // namespace flashupdate::cli
