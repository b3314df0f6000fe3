// Words for a technician about a serial device: what the system knows of it, and the facts that
// the remedy for an opening that failed names.
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

// What the system tells of a local device that failed this way, for its remedy (remedyOf): who
// may open it for a refusal, who holds it for a busy one.
FailureFacts deviceFacts(const std::string& devicePath, PortErrorKind kind);

}  // namespace flashupdate
