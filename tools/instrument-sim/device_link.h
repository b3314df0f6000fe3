#pragma once

#include <string>

namespace instrument_sim {

// A stable name for the pty (whose /dev/pts number changes from run to run), so a
// demo or a test configuration can point the tool at a fixed path.
class DeviceLink {
public:
    // Makes `path` a symlink to `target`, replacing an existing symlink. Refuses
    // (std::system_error) to replace anything that is not a symlink: a mistyped
    // path must not cost someone a file.
    DeviceLink(std::string path, std::string target);
    // Removes the link, unless someone has pointed it elsewhere meanwhile.
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

private:
    std::string path_;
    std::string target_;
};

}  // namespace instrument_sim
