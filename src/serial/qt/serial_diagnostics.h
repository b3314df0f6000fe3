// Words for a technician about a serial device: what the system knows of it, and why an opening
// failed with what to do about it.
#pragma once

#include <optional>
#include <string>

#include "serial/serial_error.h"

class QSerialPortInfo;

namespace flashupdate {

// "USB 0403:6001" for a USB adapter; empty when the system knows no vendor and product.
std::string usbIds(const QSerialPortInfo& info);

// "/dev/ttyUSB0: FT232R USB UART (USB 0403:6001)", or only the path when the system knows
// nothing more about the device.
std::string describeDevice(const std::string& devicePath);

// Who may open a device, and whether this process is in its group.
struct DeviceAccess {
    std::string owner;
    std::string group;
    bool groupIsRoot = false;
    unsigned mode = 0;  // the permission bits, as ls -l shows them
    bool inGroup = false;
};

// The device's access as the system tells it; nullopt when it cannot be read.
std::optional<DeviceAccess> deviceAccess(const std::string& devicePath);

// The remedy for a device that refused this account. Joining the device's group is advised only
// where it would help, and where a user may be given that group: the group may read and write
// the device, is not root's, and the account is not in it yet. Otherwise it says who may open the
// device and with what mode, for whoever administers the computer.
std::string permissionRemedy(const std::string& devicePath, const DeviceAccess& access);

// The remedy for a local device that failed this way; empty when none is known.
std::string remedyForDevice(const std::string& devicePath, PortErrorKind kind);

// Names of the processes that hold the device open, as far as the system lets us see.
std::string deviceHolders(const std::string& devicePath);

}  // namespace flashupdate
