// The serial control: the one object the update procedure talks to, whatever carries the line.
// Com1 to Com4 name devices through the port map; each opening asks the transport factory for
// the medium the device's name calls for (a local device, a serial device server).
//
// The rules of the line are kept here, once, for every medium: writes keep the line's pace
// (PacedTransmitter), so the progress shown and the pauses kept after a write follow what the
// instrument has received; a full medium is backpressure, and only one that carries nothing for
// the stall limit is a port error; received bytes are announced once per burst (ReceiveSettle)
// and kept, up to kReceiveLimit, through a hang-up; a line that has failed fails every later
// operation with its reason and kind; closing lets the written bytes leave first.
//
// It never waits: one timer of the loop looks again when the line time says there is room or
// the line has drained (and shortly after, while a full medium or the device's own queue holds
// bytes), and every word to the listener comes from that timer, the burst's timer or the
// medium's own events.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "serial/event_loop.h"
#include "serial/line_port.h"
#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/port_map.h"
#include "serial/receive_settle.h"
#include "serial/transport.h"

namespace flashupdate {

class SerialControl final : public LinePort, private Transport::Listener, private TransmitDevice {
public:
    // The medium for a device name, made for one opening; its timers come from the loop given.
    using TransportFactory =
        std::function<std::unique_ptr<Transport>(const std::string& devicePath, EventLoop& events)>;

    // Every byte handed to the medium and every byte received, as it happens, with the time on
    // the event loop's clock and the speed in force: for a record of the wire (--trace).
    enum class Direction { Sent, Received };
    using Observer = std::function<void(Direction direction, EventLoop::Nanos at,
                                        std::string_view bytes, int baudRate)>;

    // Received bytes beyond this, not yet told to the listener, are dropped as a UART's overrun
    // drops them: what a device or server sends never decides how much memory we take.
    static constexpr std::size_t kReceiveLimit = 64 * 1024;
    // Closing waits at most this long for written bytes to leave the line.
    static constexpr std::chrono::milliseconds kCloseDrainLimit{2'000};

    SerialControl(PortMap map, EventLoop& events, TransportFactory transports);
    SerialControl(const SerialControl&) = delete;
    SerialControl& operator=(const SerialControl&) = delete;
    // The program is ending: nothing more is sent, and the medium is let go at once.
    ~SerialControl() override;

    // Another port than the one open lets the open one go at once, with what it still held
    // discarded.
    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override { return m_transport != nullptr && !m_opening && !m_gone; }
    void setRTSEnable(bool enable) override;
    // The device the next opening uses.
    std::string devicePath() const override { return m_map.devicePath(m_commPort); }

    // LinePort
    void beginOpen() override;
    std::size_t room() override;
    std::size_t write(std::string_view bytes) override;
    void wantWritable() override;
    void wantDrained() override;
    std::size_t notCarried() override;
    void purgeInput() override;
    void purgeOutput() override;
    void beginClose() override;

    const PortMap& portMap() const { return m_map; }
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
    void opened() override;
    void openFailed(const SerialError& error) override;
    void closed() override;
    // TransmitDevice: the pacing's view of the open medium, on the event loop's clock.
    Nanos now() override { return m_events.monotonicTime(); }
    std::size_t queued() override;

    // Hands bytes to the open medium, as many as it takes now.
    std::size_t handOver(std::string_view bytes);
    // Asks the transport factory for the device's medium and begins opening it.
    void startOpening();
    // Lets the open medium go at once, discarding what it held.
    void dropLine();
    void requireOpen(const char* operation) const;
    // Throws the failure that ended the line, if it has ended.
    void checkGone();
    SerialError goneError() const;
    // A diagnostic with the remedy for a failure of this kind on a line of its own, where one is
    // known.
    std::string withRemedy(const std::string& text, PortErrorKind kind) const;
    void forgetReceived();
    void receiveSettled();
    void openAfterClose();

    // The LinePort's timer: what is due now is done or told, then the timer is armed for what
    // is due next.
    void service();
    void schedule();
    // When a wish of the listener or a step of closing is due, by the line time and the medium.
    Nanos writableDueAt(Nanos now);
    Nanos drainedDueAt(Nanos now);
    Nanos closeDueAt(Nanos now);
    // A medium that carries nothing for the stall limit while written to or drained loses
    // the line; so does a hang-up that raised no event.
    void checkStalled(Nanos now);

    PortMap m_map;
    EventLoop& m_events;
    TransportFactory m_transports;
    int m_commPort = 1;
    LineSettings m_settings;
    bool m_rtsEnable = true;
    std::function<void(const std::string&)> m_diagnostics;
    Observer m_observer;
    std::unique_ptr<Transport> m_transport;
    PacedTransmitter m_transmit;
    ReceiveSettle m_settle;
    std::unique_ptr<Timer> m_wake;
    // A medium let go from inside its own call, destroyed from the loop.
    std::unique_ptr<Transport> m_departed;
    bool m_opening = false;
    std::optional<SerialError> m_openFailure;
    bool m_gone = false;
    // Closing, begun by beginClose() and driven by the timer.
    bool m_closing = false;
    bool m_mediumClosing = false;
    Nanos m_closeDeadline{0};
    // The listener's wishes, and the words owed to it.
    bool m_wantWritable = false;
    bool m_wantDrained = false;
    bool m_tellOpened = false;
    bool m_tellOpenFailed = false;
    bool m_tellClosed = false;
    // beginOpen() came while the port was closing.
    bool m_openAfterClose = false;
    bool m_lostTold = false;
    // The medium took less than was offered (it is full); when, and when it last took a byte.
    bool m_mediumFull = false;
    // Nothing has been written since purgeOutput(): closing lets nothing leave first.
    bool m_outputPurged = false;
    Nanos m_refusedAt{0};
    Nanos m_lastTaken{0};
    PortErrorKind m_goneKind = PortErrorKind::Gone;
    std::string m_goneReason;
    // What the line delivered and the listener has not yet been told.
    ByteText m_received;
};

}  // namespace flashupdate
