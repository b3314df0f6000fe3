// Words for a technician about a serial device: what the system knows of it, and why an opening
// failed with what to do about it.
#pragma once

#include <string>

class QSerialPortInfo;

namespace flashupdate {

// "USB 0403:6001" for a USB adapter; empty when the system knows no vendor and product.
std::string usbIds(const QSerialPortInfo& info);

// "/dev/ttyUSB0: FT232R USB UART (USB 0403:6001)", or only the path when the system knows
// nothing more about the device.
std::string describeDevice(const std::string& devicePath);

// Where the serial bindings send their diagnostics unless a front end routes them.
void toStandardError(const std::string& text);

enum class OpenFailure { Missing, Busy, Forbidden, Other };

// The remedy for a failed opening; empty when none is known.
std::string remedyForOpenFailure(const std::string& devicePath, OpenFailure failure);

// Names of the processes that hold the device open, as far as the system lets us see.
std::string deviceHolders(const std::string& devicePath);

}  // namespace flashupdate
