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

#include <QString>
#include <memory>
#include <string>

#include "serial/qt/paced_serial_port.h"

class QSerialPort;

namespace flashupdate {

class QtSerialPort final : public PacedSerialPort {
public:
    explicit QtSerialPort(PortMap map, QObject* parent = nullptr);
    ~QtSerialPort() override;

    void setSettings(const std::string& settings) override;
    void setCommPort(int port) override;
    bool portOpen() const override;
    void setPortOpen(bool open) override;
    void setRTSEnable(bool enable) override;
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;
    ByteText input() override;

private:
    class Device;

    void open();
    void closeAfterDrain();
    void applyLineSettings();
    void applyRts();
    void checkGone() override;
    void markDeviceGone();
    void onReadyRead();
    void onError();

    std::unique_ptr<QSerialPort> m_port;
};

}  // namespace flashupdate
