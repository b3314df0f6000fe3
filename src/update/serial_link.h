// The window's serial port object and the one receive path: comSerial_OnComm replaces RxData
// with everything received each time the port reports a receive event.
#pragma once

#include <functional>

#include "serial/serial_port.h"

namespace flashupdate {

class SerialLink {
public:
    explicit SerialLink(SerialPort& port);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;
    ~SerialLink();

    SerialPort& comSerial;
    // The bytes of the most recent receive event; each event replaces it, nothing appends.
    ByteText RxData;

    void comSerial_OnComm();

    // Told each receive event's bytes, after RxData has taken them: the run in progress.
    std::function<void(const ByteText& chunk)> onReceive;
};

}  // namespace flashupdate
