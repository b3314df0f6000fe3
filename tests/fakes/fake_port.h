// A serial port on virtual time, with an instrument at the other end of its line.
//
// Writes go through the production pacing (PacedTransmitter) into a device buffer that the line
// empties at one byte per byte time of the settings in force. Every byte is delivered to the
// instrument with the time it has crossed the line. The instrument answers through reply(), which
// raises a receive event at the given time, handled by the next pump. Waits of the pacing move
// the clock without handling any event, as the real port's sleeps do. Controls:
//   calls()            every operation, in order, as "Settings=1200,N,8,1", "PortOpen=1",
//                      "Output[256]"
//   wire()             every byte that crossed the line, with its time and the baud rate in force
//   failOn(op, n)      the n-th (1-based) call of operation op throws SerialError
//   raiseEvent(code)   a line event (send, error) for the receive handler
//   setDeviceBuffer()  the device's buffer size, and whether it counts its queue as a UART does
//                      or hides it as a pseudo-terminal does
//   stallLine(from, until)  the line carries nothing in that time: the device fills up and
//                      takes no byte until the line moves again
//   loseDevice(at)     the device goes away then (a cable pulled, an instrument that restarts):
//                      the port reads as closed and every write fails; what was received stays
// Received chunks reach the receive handler as the real port delivers them: one event per burst,
// once the line has been quiet for a while (ReceiveSettle).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/virtual_event_loop.h"
#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/receive_settle.h"
#include "serial/serial_port.h"

namespace flashupdate::testing {

struct WireByte {
    Micros at;  // when its last bit left the line
    int baud;
    unsigned char value;
    int commPort;
};

class FakePort;

// The other end of the line.
class Instrument {
public:
    virtual ~Instrument() = default;
    virtual void onByte(FakePort& port, const WireByte& byte) = 0;
};

class FakePort final : public SerialPort {
public:
    explicit FakePort(VirtualEventLoop& loop);
    ~FakePort() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override { return m_open && !m_gone; }
    void setPortOpen(bool open) override;
    void setInputLen(int length) override;
    void setRThreshold(int threshold) override;
    void setSThreshold(int threshold) override;
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;
    int outBufferCount() override;
    void output(const ByteText& data) override;
    ByteText input() override;
    int commEvent() const override { return m_commEvent; }

    void setInstrument(Instrument* instrument) { m_instrument = instrument; }
    // The instrument sends chunk so that it is received at time at.
    void reply(const ByteText& chunk, Micros at);
    void raiseEvent(int code);
    void failOn(const std::string& operation, int nthCall = 1);
    void setDeviceBuffer(std::size_t capacity, bool countsQueue);
    void stallLine(Micros from, Micros until);
    void loseDevice(Micros at);

    const std::vector<std::string>& calls() const { return m_calls; }
    const std::vector<WireByte>& wire() const { return m_wire; }
    ByteText wireText() const;
    int commPort() const { return m_commPort; }
    int openings() const { return m_openings; }
    const LineSettings& settings() const { return m_settings; }

private:
    class Device;

    void record(const std::string& call, const std::string& operation);
    void requireOpen(const char* operation) const;
    Micros byteTime() const;
    void settleLine();
    void carry(unsigned char value);

    VirtualEventLoop& m_loop;
    Instrument* m_instrument = nullptr;
    LineSettings m_settings;
    int m_commPort = 1;
    bool m_open = false;
    bool m_gone = false;
    int m_openings = 0;
    int m_commEvent = 0;
    ByteText m_received;
    // Bytes in the device and not yet fully on the line, with the time each will have left it.
    std::deque<Micros> m_pending;
    Micros m_lineFreeAt = 0;
    std::size_t m_deviceCapacity = 4096;
    bool m_countsQueue = true;
    Micros m_stallFrom = 0;
    Micros m_stallUntil = 0;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<PacedTransmitter> m_transmit;
    ReceiveSettle m_settle;
    std::vector<WireByte> m_wire;
    std::vector<std::string> m_calls;
    std::map<std::string, int> m_callCounts;
    std::map<std::string, int> m_failures;
};

}  // namespace flashupdate::testing
