#include "serial/port_map.h"

#include <cstdlib>
#include <stdexcept>

namespace flashupdate {

namespace {
std::string defaultDevice(int port) {
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}
}  // namespace

PortMap PortMap::fromEnvironment() {
    PortMap map;
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        const std::string variable = "FLASHUPDATE_COM" + std::to_string(port);
        const char* value = std::getenv(variable.c_str());
        map.setDevicePath(port, value != nullptr && *value != '\0' ? value : defaultDevice(port));
    }
    return map;
}

std::string PortMap::devicePath(int port) const {
    if (port < kFirstPort || port > kLastPort) {
        throw std::out_of_range("no serial port Com" + std::to_string(port));
    }
    const std::string& path = m_paths[port - 1];
    return path.empty() ? defaultDevice(port) : path;
}

void PortMap::setDevicePath(int port, std::string path) {
    if (port < kFirstPort || port > kLastPort) {
        throw std::out_of_range("no serial port Com" + std::to_string(port));
    }
    m_paths[port - 1] = std::move(path);
}

}  // namespace flashupdate
