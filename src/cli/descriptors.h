// The process's open-file limit and the descriptors it has open.
#pragma once

#include <cstddef>
#include <optional>

namespace flashupdate::cli {

// Raises the soft open-file limit as far as the hard one allows (a desktop session's 1024 is
// far below what the system grants) and returns the limit now in force.
std::size_t raiseOpenFileLimit();

// Descriptors this process has open now; nullopt where the system does not say.
std::optional<std::size_t> openDescriptors();

}  // namespace flashupdate::cli
