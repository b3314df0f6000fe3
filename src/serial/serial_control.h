// The serial control: the one object the update procedure talks to, whatever carries the line.
// Com1 to Com4 name devices through the port map; each opening asks the transport factory for
// the medium the device's name calls for (a local device, a serial device server).
//
// The rules of the line are kept here, once, for every medium: writes keep the line's pace
// (PacedTransmitter), so the progress shown and the pauses kept after a write follow what the
// instrument has received; a full medium is backpressure, and only one that carries nothing for
// the stall limit is a port error; received bytes are announced once per burst (ReceiveSettle)
// and kept, up to kReceiveLimit, through a hang-up; a line that has failed fails every later
// operation with its reason and kind; closing lets the written bytes leave first. Every wait is
// a loop of pumps of the event loop given, so it keeps a window live, sleeps between events, sees
// a stop at once and runs on virtual time in tests.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serial/event_loop.h"
#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/port_map.h"
#include "serial/receive_settle.h"
#include "serial/serial_port.h"
#include "serial/transport.h"

namespace flashupdate {

class SerialControl final : public SerialPort, private Transport::Listener, private TransmitDevice {
public:
    // The medium for a device name, made for one opening; its waits pump events.
    using TransportFactory =
        std::function<std::unique_ptr<Transport>(const std::string& devicePath, EventLoop& events)>;

    // Every byte handed to the medium and every byte received, as it happens, with the time on
    // the event loop's clock and the speed in force: for a record of the wire (--trace).
    enum class Direction { Sent, Received };
    using Observer = std::function<void(Direction direction, EventLoop::Nanos at,
                                        std::string_view bytes, int baudRate)>;

    // Received bytes beyond this, not yet taken by Input, are dropped as a UART's overrun
    // drops them: what a device or server sends never decides how much memory we take.
    static constexpr std::size_t kReceiveLimit = 64 * 1024;
    // Closing waits at most this long for written bytes to leave the line.
    static constexpr std::chrono::milliseconds kCloseDrainLimit{2'000};

    SerialControl(PortMap map, EventLoop& events, TransportFactory transports);
    SerialControl(const SerialControl&) = delete;
    SerialControl& operator=(const SerialControl&) = delete;
    // The program is ending: nothing more is sent, and the medium is let go at once.
    ~SerialControl() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override { return m_transport != nullptr && !m_gone; }
    void setPortOpen(bool open) override;
    void setInputLen(int) override {}
    void setRThreshold(int threshold) override { m_rThreshold = threshold; }
    void setSThreshold(int) override {}
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;
    int outBufferCount() override;
    void output(const ByteText& data) override;
    ByteText input() override;
    int commEvent() const override { return m_commEvent; }

    const PortMap& portMap() const { return m_map; }
    // The device the next opening uses.
    std::string devicePath() const { return m_map.devicePath(m_commPort); }
    // Where the reasons behind failures go (a port that cannot be opened, with the remedy, or
    // one that has gone away); standard error unless a front end routes them.
    void setDiagnostics(std::function<void(const std::string&)> diagnostics) {
        m_diagnostics = std::move(diagnostics);
    }
    void setObserver(Observer observer) { m_observer = std::move(observer); }

private:
    // Transport::Listener
    void bytesArrived(std::string_view bytes) override;
    void lineLost(const SerialError& error) override;
    void note(const std::string& text) override;
    // TransmitDevice: the pacing's view of the open medium, on the event loop's clock.
    Nanos now() override { return m_events.monotonicTime(); }
    std::size_t handOver(std::string_view bytes) override;
    std::size_t queued() override;
    void awaitRoom(Nanos limit) override;
    void sleepFor(Nanos duration) override { pumpFor(m_events, duration); }

    void open();
    void close();
    void requireOpen(const char* operation) const;
    // Throws the failure that ended the line, if it has ended.
    void checkGone();
    void forgetReceived();

    PortMap m_map;
    EventLoop& m_events;
    TransportFactory m_transports;
    int m_commPort = 1;
    LineSettings m_settings;
    bool m_rtsEnable = true;
    int m_rThreshold = 0;
    int m_commEvent = 0;
    std::function<void(const std::string&)> m_diagnostics;
    Observer m_observer;
    std::unique_ptr<Transport> m_transport;
    PacedTransmitter m_transmit;
    ReceiveSettle m_settle;
    bool m_gone = false;
    bool m_closing = false;
    PortErrorKind m_goneKind = PortErrorKind::Gone;
    std::string m_goneReason;
    // What the line delivered and Input has not yet taken.
    ByteText m_received;
};

}  // namespace flashupdate
