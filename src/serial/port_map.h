// Which device each of Com1 to Com4 names. Defaults follow the platform (/dev/ttyS0.. on Linux,
// COM1.. on Windows); FLASHUPDATE_COM1 to FLASHUPDATE_COM4 name another device, such as a USB
// adapter or the pseudo-terminal of the instrument simulator.
#pragma once

#include <string>

namespace flashupdate {

class PortMap {
public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 4;

    // Reads the environment once.
    static PortMap fromEnvironment();

    std::string devicePath(int port) const;
    void setDevicePath(int port, std::string path);

private:
    std::string m_paths[kLastPort];
};

}  // namespace flashupdate
