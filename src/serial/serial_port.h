// The serial control seam: the operations the update procedure performs on its serial port,
// named as the instrument software has always named them. Production binds it to the serial
// control (SerialControl) over the system's transports; tests put the same control over a fake
// line with virtual time.
//
// Every operation that the port cannot carry out throws SerialError. Received data is announced
// through the OnComm handler, which implementations call only from inside an event pump.
#pragma once

#include <functional>
#include <string>

#include "serial/serial_error.h"

namespace flashupdate {

// One character per byte, codes 0 to 255; std::string holds any byte unchanged.
using ByteText = std::string;

// Codes reported by commEvent().
enum CommEventCode : int {
    comEvSend = 1,
    comEvReceive = 2,
    comEvCTS = 3,
    comEvDSR = 4,
    comEvCD = 5,
    comEvRing = 6,
    comEvEOF = 7,
    comEventBreak = 1001,
    comEventFrame = 1004,
    comEventOverrun = 1006,
    comEventRxOver = 1008,
    comEventRxParity = 1009,
    comEventTxFull = 1010,
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Line settings text such as "9600,N,8,1"; applied at once when the port is open.
    virtual void setSettings(const std::string& settings) = 0;
    // Com1 to Com4; takes effect at the next opening.
    virtual void setCommPort(int port) = 0;
    virtual bool portOpen() const = 0;
    virtual void setPortOpen(bool open) = 0;
    virtual void setInputLen(int length) = 0;
    virtual void setRThreshold(int threshold) = 0;
    virtual void setSThreshold(int threshold) = 0;
    virtual void setRTSEnable(bool enable) = 0;
    // Only 0 is meaningful: discards received bytes not yet read.
    virtual void setInBufferCount(int count) = 0;
    // Only 0 is meaningful: discards bytes not yet sent.
    virtual void setOutBufferCount(int count) = 0;
    // Bytes written but not yet on the line.
    virtual int outBufferCount() = 0;
    // Queues every byte for sending, in order; holds while the transmit side is full.
    virtual void output(const ByteText& data) = 0;
    // Every byte received and not yet read.
    virtual ByteText input() = 0;
    // The code of the event being reported to the OnComm handler.
    virtual int commEvent() const = 0;

    void setOnComm(std::function<void()> handler) { m_onComm = std::move(handler); }

protected:
    void raiseOnComm() {
        if (m_onComm) {
            m_onComm();
        }
    }

private:
    std::function<void()> m_onComm;
};

}  // namespace flashupdate
