// Words for a technician about a serial device: what the system knows of it, and why an opening
// failed with what to do about it.
#pragma once

#include <string>

#include "serial/serial_error.h"

class QSerialPortInfo;

namespace flashupdate {

// "USB 0403:6001" for a USB adapter; empty when the system knows no vendor and product.
std::string usbIds(const QSerialPortInfo& info);

// "/dev/ttyUSB0: FT232R USB UART (USB 0403:6001)", or only the path when the system knows
// nothing more about the device.
std::string describeDevice(const std::string& devicePath);

// The remedy for a local device that failed this way; empty when none is known.
std::string remedyForDevice(const std::string& devicePath, PortErrorKind kind);

// Names of the processes that hold the device open, as far as the system lets us see.
std::string deviceHolders(const std::string& devicePath);

}  // namespace flashupdate
