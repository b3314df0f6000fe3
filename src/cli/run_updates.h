// Runs one update per port at the same time and renders their events as they come.
#pragma once

#include <atomic>
#include <filesystem>
#include <vector>

#include "cli/port_target.h"
#include "cli/renderer.h"

namespace flashupdate::cli {

// Returns the exit status for the whole run.
int runUpdates(const std::vector<PortTarget>& targets, const std::filesystem::path& image,
               const std::filesystem::path& bootLoader, Renderer& renderer,
               const std::atomic<bool>& stop);

}  // namespace flashupdate::cli
