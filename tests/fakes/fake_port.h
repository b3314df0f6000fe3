// The real serial control on virtual time, over a fake line with an instrument at its other end.
//
// FakePort is the SerialControl the procedure talks to in production, with a recorder in front
// of it and a FakeLine under it, so the unit tests exercise the control's own rules (pacing,
// bursts, a gone line, closing) rather than a copy of them. The line empties the device buffer
// at one byte per byte time of the settings the transport was given; every byte is delivered to
// the instrument with the time it has crossed the line. The instrument answers through reply(),
// which hands the chunk to the open transport at that time, from the loop. Controls:
//   calls()            every operation, in order, as "Settings=1200,N,8,1", "PortOpen=1",
//                      "Output[256]"
//   wire()             every byte that crossed the line, with its time and the baud rate in force
//   failOpenings()     every opening through the control's LinePort face fails from now on,
//                      with the reason "injected failure of Open"; (false) ends that
//   setDeviceBuffer()  the device's buffer size, and whether it counts its queue as a UART does
//                      or hides it as a pseudo-terminal does
//   stallLine(from, until)  the line carries nothing in that time: the device fills up and
//                      takes no byte until the line moves again
//   loseDevice(at)     the device goes away then (a cable pulled, an instrument that restarts):
//                      the port reads as closed and every write fails; what was received stays
//   neverTell(word)    the port's listener is never told that word (a fault of a port of ours)
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/virtual_event_loop.h"
#include "serial/line_port.h"
#include "serial/line_settings.h"
#include "serial/serial_control.h"
#include "serial/transport.h"

namespace flashupdate::testing {

struct WireByte {
    Micros at;  // when its last bit left the line
    int baud;
    unsigned char value;
};

class FakePort;

// The other end of the line.
class Instrument {
public:
    virtual ~Instrument() = default;
    virtual void onByte(FakePort& port, const WireByte& byte) = 0;
};

class FakeTransport;

// The line and the device buffer in front of it; it outlives each opening's transport.
struct FakeLine {
    explicit FakeLine(VirtualEventLoop& events) : loop(events) {}

    Micros byteTime() const;
    // Forgets the bytes that have left the line by now.
    void settle();
    void carry(unsigned char value);

    VirtualEventLoop& loop;
    FakePort* port = nullptr;
    Instrument* instrument = nullptr;
    FakeTransport* open = nullptr;
    LineSettings settings;
    int openings = 0;
    std::optional<SerialError> openFailure;
    // Bytes in the device and not yet fully on the line, with the time each will have left it.
    std::deque<Micros> pending;
    Micros lineFreeAt = 0;
    std::size_t capacity = 4096;
    bool countsQueue = true;
    Micros stallFrom = 0;
    Micros stallUntil = 0;
    std::vector<WireByte> wire;
};

class FakeTransport final : public Transport {
public:
    explicit FakeTransport(FakeLine& line) : m_line(line) {}
    ~FakeTransport() override;

    void beginOpen(const std::string& name, const LineSettings& settings, bool rts) override;
    void applySettings(const LineSettings& settings) override { m_line.settings = settings; }
    void setRts(bool) override {}
    std::size_t write(std::string_view bytes) override;
    std::size_t queued() override;
    void purgeInput() override {}
    void purgeOutput() override;
    void beginClose() override;
    BurstTiming burstTiming() const override {
        return {std::chrono::milliseconds(50), std::chrono::milliseconds(500)};
    }
    FailureFacts factsAbout(PortErrorKind) const override { return {}; }

    void deliver(const ByteText& chunk);
    void goAway();

private:
    FakeLine& m_line;
    bool m_gone = false;
};

// Its calls are recorded by the instrument's names for them: beginOpen as "PortOpen=1", a write
// as "Output...", a purge as "InBufferCount=0" or "OutBufferCount=0", beginClose as "PortOpen=0".
class FakePort final : public LinePort, private LinePort::Listener {
public:
    explicit FakePort(VirtualEventLoop& loop);
    ~FakePort() override;

    void setSettings(const std::string& settings) override {
        record("Settings=" + settings);
        m_control.setSettings(settings);
    }
    void setCommPort(int port) override {
        record("CommPort=" + std::to_string(port));
        m_control.setCommPort(port);
    }
    bool portOpen() const override { return m_control.portOpen(); }
    void setRTSEnable(bool enable) override {
        record(std::string("RTSEnable=") + (enable ? "1" : "0"));
        m_control.setRTSEnable(enable);
    }
    // LinePort
    std::string devicePath() const override { return m_control.devicePath(); }
    void beginOpen() override;
    std::size_t room() override { return m_control.room(); }
    std::size_t write(std::string_view bytes) override;
    void wantWritable() override { m_control.wantWritable(); }
    void wantDrained() override { m_control.wantDrained(); }
    std::size_t notCarried() override { return m_control.notCarried(); }
    void purgeInput() override {
        record("InBufferCount=0");
        m_control.purgeInput();
    }
    void purgeOutput() override {
        record("OutBufferCount=0");
        m_control.purgeOutput();
    }
    void beginClose() override {
        record("PortOpen=0");
        m_control.beginClose();
    }

    void setInstrument(Instrument* instrument) { m_line.instrument = instrument; }
    // The instrument sends chunk so that it is received at time at.
    void reply(const ByteText& chunk, Micros at);
    void failOpenings(bool fail = true) {
        m_line.openFailure.reset();
        if (fail) {
            m_line.openFailure = SerialError("injected failure of Open");
        }
    }
    enum class Word { None, Opened, Drained };
    void neverTell(Word word) { m_neverTell = word; }
    void setDeviceBuffer(std::size_t capacity, bool countsQueue) {
        m_line.capacity = capacity;
        m_line.countsQueue = countsQueue;
    }
    void stallLine(Micros from, Micros until) {
        m_line.stallFrom = from;
        m_line.stallUntil = until;
    }
    void loseDevice(Micros at);

    const std::vector<std::string>& calls() const { return m_calls; }
    const std::vector<WireByte>& wire() const { return m_line.wire; }
    ByteText wireText() const;
    int openings() const { return m_line.openings; }
    SerialControl& control() { return m_control; }

private:
    void record(const std::string& call) { m_calls.push_back(call); }
    // What the control tells, passed on to whoever listens to this port.
    void portOpened() override {
        if (m_neverTell != Word::Opened) {
            listener()->portOpened();
        }
    }
    void portOpenFailed(const SerialError& error) override { listener()->portOpenFailed(error); }
    void portReceived(const ByteText& bytes) override { listener()->portReceived(bytes); }
    void portWritable() override { listener()->portWritable(); }
    void portDrained() override {
        if (m_neverTell != Word::Drained) {
            listener()->portDrained();
        }
    }
    void portLost(const SerialError& error) override { listener()->portLost(error); }
    void portClosed() override { listener()->portClosed(); }

    FakeLine m_line;
    SerialControl m_control;
    std::vector<std::string> m_calls;
    Word m_neverTell = Word::None;
};

}  // namespace flashupdate::testing
