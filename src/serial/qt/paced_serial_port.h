// What both bindings of the serial control share, whatever carries the line (a device, a
// serial device server): the port chosen and its settings, the transmit side kept to the line's
// pace, received bytes announced once per burst, and a line that is gone failing every later
// operation with its reason.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/port_map.h"
#include "serial/receive_settle.h"
#include "serial/serial_port.h"

namespace flashupdate {

// A binding's transmit side on the system's clock: its time and its sleeps are real.
class RealTimeDevice : public TransmitDevice {
public:
    Nanos now() override { return std::chrono::steady_clock::now().time_since_epoch(); }
    void sleepFor(Nanos duration) override { std::this_thread::sleep_for(duration); }
};

class PacedSerialPort : public QObject, public SerialPort {
public:
    ~PacedSerialPort() override;

    void setInputLen(int) override {}
    void setRThreshold(int threshold) override { m_rThreshold = threshold; }
    void setSThreshold(int) override {}
    int outBufferCount() override;
    void output(const ByteText& data) override;
    int commEvent() const override { return m_commEvent; }

    const PortMap& portMap() const { return m_map; }
    // Where the reasons behind failures go (a port that cannot be opened, with the remedy, or
    // one that has gone away); standard error unless a front end routes them.
    void setDiagnostics(std::function<void(const std::string&)> diagnostics) {
        m_diagnostics = std::move(diagnostics);
    }
    // What the next opening uses.
    std::string devicePath() const { return m_map.devicePath(m_commPort); }

protected:
    // device is what the pacing writes to; it may refer to the binding under construction.
    PacedSerialPort(PortMap map, std::unique_ptr<TransmitDevice> device, QObject* parent);

    static void checkPortNumber(int port);
    // Parses settings and gives the pacing the new byte time.
    void takeSettings(const std::string& settings);
    void requireOpen(const char* operation) const;
    // Throws when the line is gone; a binding that can find out by asking does so first.
    virtual void checkGone();
    // Records the first reason only, and tells it.
    bool markGone(const std::string& reason, const std::string& remedy = {});
    void bytesReceived(std::string_view bytes);
    // Everything received and not yet taken, with what Input has just read itself.
    ByteText takeReceived(std::string_view readNow = {});
    void forgetReceived();
    // Lets the bytes written leave the line before closing; a line gone meanwhile has nothing
    // left to wait for, and closing never fails.
    void drainBeforeClosing();

    PortMap m_map;
    int m_commPort = 1;
    LineSettings m_settings;
    bool m_rtsEnable = true;
    std::function<void(const std::string&)> m_diagnostics;
    std::unique_ptr<TransmitDevice> m_device;
    PacedTransmitter m_transmit;
    bool m_gone = false;
    std::string m_goneReason;

private:
    int m_rThreshold = 0;
    // What the line delivered and Input has not yet taken: kept when the line goes, for an
    // answer that came just before is an answer all the same.
    ByteText m_received;
    std::unique_ptr<ReceiveSettle> m_settle;
    int m_commEvent = 0;
};

}  // namespace flashupdate
