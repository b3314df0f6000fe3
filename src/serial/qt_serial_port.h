// The window's serial control on a real device, through Qt SerialPort.
//
// Beyond what Qt gives, it keeps the promises the update procedure relies on: writes keep the
// line's pace (PacedTransmitter), so nothing is ever dropped, a full buffer is waited for and the
// progress shown follows what the instrument has received, on any transport; the count of bytes
// not yet sent is what the line has not yet carried; closing lets written bytes leave the line
// first; only a device that hangs up or fails for good is taken as gone, and it fails the next
// operation instead of spinning the CPU. Received bytes are taken from the device as they
// arrive and announced once per burst (ReceiveSettle). An opening is the device's only one,
// whatever name it was opened by.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "serial/line_settings.h"
#include "serial/paced_transmitter.h"
#include "serial/port_map.h"
#include "serial/receive_settle.h"
#include "serial/serial_port.h"

class QSerialPort;

namespace flashupdate {

class QtSerialPort final : public QObject, public SerialPort {
public:
    explicit QtSerialPort(PortMap map, QObject* parent = nullptr);
    ~QtSerialPort() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override;
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
    int commEvent() const override;

    const PortMap& portMap() const { return m_map; }
    // Where the reasons behind failures go (a device that cannot be opened, with the remedy, or
    // one that has gone away); standard error unless a front end routes them.
    void setDiagnostics(std::function<void(const std::string&)> diagnostics) {
        m_diagnostics = std::move(diagnostics);
    }
    // The device the next opening uses.
    std::string devicePath() const;

private:
    class Device;

    void open();
    void closeAfterDrain();
    void applyLineSettings();
    void applyRts();
    void requireOpen(const char* operation) const;
    void checkDeviceGone();
    void markDeviceGone(const QString& reason);
    void onReadyRead();
    void onError();
    void forgetReceived();

    PortMap m_map;
    std::unique_ptr<QSerialPort> m_port;
    LineSettings m_settings;
    int m_commPort = 1;
    bool m_rtsEnable = true;
    int m_rThreshold = 0;
    std::function<void(const std::string&)> m_diagnostics;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<PacedTransmitter> m_transmit;
    // What the device delivered and Input has not yet taken: kept when the device hangs up, for
    // an answer that came just before is an answer all the same.
    ByteText m_received;
    std::unique_ptr<ReceiveSettle> m_settle;
    int m_commEvent = 0;
    bool m_deviceGone = false;
    QString m_goneReason;
};

}  // namespace flashupdate
