#include "device_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace instrument_sim {

DeviceLink::DeviceLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)) {
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        throw std::system_error(EEXIST, std::generic_category(),
                                path_ + " exists and is not a symlink");
    }
    // Built aside and renamed over the old link, so that the path never
    // disappears for a tool that is polling for it.
    const std::string temporary = path_ + ".instrument-sim-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target_.c_str(), temporary.c_str()) < 0) {
        throw std::system_error(errno, std::generic_category(), "symlink " + temporary);
    }
    if (::rename(temporary.c_str(), path_.c_str()) < 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(err, std::generic_category(), "rename to " + path_);
    }
}

DeviceLink::~DeviceLink() {
    std::array<char, 4096> current{};
    ssize_t n = ::readlink(path_.c_str(), current.data(), current.size() - 1);
    if (n >= 0 && std::string(current.data(), static_cast<std::size_t>(n)) == target_) {
        ::unlink(path_.c_str());
    }
}

}  // namespace instrument_sim
