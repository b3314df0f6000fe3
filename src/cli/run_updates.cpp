#include "cli/run_updates.h"

#include <chrono>
#include <memory>

#include "cli/event_queue.h"
#include "cli/exit_codes.h"
#include "cli/port_worker.h"

namespace flashupdate::cli {

namespace {
// How often live output is redrawn while nothing happens (the time left counts down).
constexpr std::chrono::milliseconds kRedrawInterval(250);
}  // namespace

int runUpdates(const std::vector<PortTarget>& targets, const std::filesystem::path& image,
               const std::filesystem::path& bootLoader, Renderer& renderer,
               const std::atomic<bool>& stop) {
    EventQueue events;
    std::vector<std::unique_ptr<PortWorker>> workers;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        workers.push_back(
            std::make_unique<PortWorker>(i, targets[i], image, bootLoader, events, stop));
        workers.back()->start();
    }

    std::vector<int> codes(targets.size(), kOtherFailure);
    bool anyStopped = false;
    std::size_t ended = 0;
    while (ended < targets.size()) {
        const auto arrived = events.take(kRedrawInterval);
        if (arrived.empty()) {
            renderer.tick();
        }
        for (const UpdateEvent& event : arrived) {
            renderer.show(event);
            if (event.kind == EventKind::Result) {
                codes.at(event.port) = event.exitCode;
                anyStopped = anyStopped || event.result.cause == UpdateResult::Cause::Stopped;
                ++ended;
            }
        }
    }
    for (auto& worker : workers) {
        worker->wait();
    }
    return combinedExitCode(codes, anyStopped);
}

}  // namespace flashupdate::cli
