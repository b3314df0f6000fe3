#include "cli/descriptors.h"

#include <filesystem>
#include <limits>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace flashupdate::cli {

namespace {
// Where the system sets no limit, or cannot say: as many as an update could ever want.
constexpr std::size_t kNoLimit = std::numeric_limits<int>::max();
}  // namespace

std::size_t raiseOpenFileLimit() {
#ifndef _WIN32
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return kNoLimit;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kNoLimit
               ? kNoLimit
               : static_cast<std::size_t>(limit.rlim_cur);
#else
    return kNoLimit;
#endif
}

std::optional<std::size_t> openDescriptors() {
#ifdef __linux__
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        ++count;
    }
    if (error) {
        // Not even the listing could be opened: take it that none is free.
        return kNoLimit;
    }
    // The directory being read is one of them.
    return count > 0 ? count - 1 : 0;
#else
    return std::nullopt;
#endif
}

}  // namespace flashupdate::cli
