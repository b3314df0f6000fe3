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

std::size_t indexOf(int port) {
    if (port < PortMap::kFirstPort || port > PortMap::kLastPort) {
        throw std::out_of_range("no serial port Com" + std::to_string(port));
    }
    return static_cast<std::size_t>(port - PortMap::kFirstPort);
}

}  // namespace

const char* nameOf(PortSource source) {
    switch (source) {
        case PortSource::Default:
            return "default";
        case PortSource::SettingsFile:
            return "settings file";
        case PortSource::Environment:
            return "environment";
    }
    return "default";
}

PortMap PortMap::fromSettingsAndEnvironment(const Entries& settings) {
    PortMap map;
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        const std::string variable = "FLASHUPDATE_COM" + std::to_string(port);
        const char* value = std::getenv(variable.c_str());
        const auto& fromFile = settings[indexOf(port)];
        if (value != nullptr && *value != '\0') {
            map.setDevicePath(port, value, PortSource::Environment);
        } else if (fromFile && !fromFile->empty()) {
            map.setDevicePath(port, *fromFile, PortSource::SettingsFile);
        }
    }
    return map;
}

std::string PortMap::devicePath(int port) const {
    const std::string& path = m_paths[indexOf(port)];
    return path.empty() ? defaultDevice(port) : path;
}

PortSource PortMap::source(int port) const {
    const std::size_t index = indexOf(port);
    return m_paths[index].empty() ? PortSource::Default : m_sources[index];
}

void PortMap::setDevicePath(int port, std::string path, PortSource source) {
    const std::size_t index = indexOf(port);
    m_paths[index] = std::move(path);
    m_sources[index] = source;
}

}  // namespace flashupdate
