// Which device each of Com1 to Com4 names. Defaults follow the platform (/dev/ttyS0.. on Linux,
// COM1.. on Windows); a settings file may name other devices, such as a USB adapter's stable
// /dev/serial/by-id alias, and FLASHUPDATE_COM1 to FLASHUPDATE_COM4 override both (the simulator's
// pseudo-terminal, a one-off test). Each entry remembers where it came from, so a technician can
// be told why Com2 means what it means.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace flashupdate {

enum class PortSource { Default, SettingsFile, Environment };

// "default", "settings file", "environment".
const char* nameOf(PortSource source);

class PortMap {
public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 4;
    static constexpr int kPortCount = kLastPort - kFirstPort + 1;

    // What the settings file says for Com1 to Com4; nullopt or empty where it says nothing.
    using Entries = std::array<std::optional<std::string>, kPortCount>;

    // The settings file's entries, then FLASHUPDATE_COM1 to FLASHUPDATE_COM4 over them.
    static PortMap fromSettingsAndEnvironment(const Entries& settings);
    static PortMap fromEnvironment() { return fromSettingsAndEnvironment({}); }

    std::string devicePath(int port) const;
    PortSource source(int port) const;
    void setDevicePath(int port, std::string path, PortSource source = PortSource::Environment);

private:
    std::array<std::string, kPortCount> m_paths;
    std::array<PortSource, kPortCount> m_sources{};
};

}  // namespace flashupdate
