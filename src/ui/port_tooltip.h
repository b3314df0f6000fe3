// What resting the pointer on a port's button tells a technician: the device the button opens,
// why it is that device (and so where to change it), and whether the device is there now.
#pragma once

#include <QString>
#include <string>

#include "serial/port_map.h"

namespace flashupdate {

// A device as the system sees it at the moment of asking.
struct DeviceState {
    // The path, with the system's words for the device when it is present.
    std::string description;
    bool present = false;
};

DeviceState probeDevice(const std::string& devicePath);

// A path under the home directory written from "~", as a technician would type it.
QString homeRelative(const QString& path);

// "/dev/ttyUSB0: FT232R USB UART (USB 0403:6001)\nFrom the settings file ~/.config/...\nPresent"
QString portToolTip(int port, const PortMap& map, const QString& settingsPath,
                    const DeviceState& device);

}  // namespace flashupdate
