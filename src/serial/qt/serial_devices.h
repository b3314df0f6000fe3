// The serial devices present now, as the system lists them, with the stable alias udev gives a
// USB adapter under /dev/serial/by-id.
#pragma once

#include <string>
#include <vector>

#include "serial/port_names.h"

namespace flashupdate {

std::vector<SerialDeviceInfo> listSerialDevices();

// Whether a device (or the alias naming it) is there to be opened now; for a serial device
// server, whether its name resolves.
bool devicePresent(const std::string& devicePath);

}  // namespace flashupdate
