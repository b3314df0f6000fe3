// The window's serial control on a real device, through Qt SerialPort.
//
// Beyond what Qt gives, it keeps the promises the update procedure relies on: writes hold
// (sleeping) while about 1 KiB waits to be sent, so nothing is ever dropped and the progress
// shown stays close to the line; the count of bytes not yet sent includes the kernel's queue;
// closing lets written bytes leave the line first; a device that goes away fails the next
// operation instead of spinning the CPU.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "serial/line_settings.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"

class QSerialPort;

namespace flashupdate {

class QtSerialPort final : public QObject, public SerialPort {
public:
    explicit QtSerialPort(PortMap map, QObject* parent = nullptr);
    ~QtSerialPort() override;

    // Bytes that may wait to be sent before a write holds.
    static constexpr int kTransmitLimit = 1024;

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
    // The device the next opening uses.
    std::string devicePath() const;

private:
    void open();
    void closeAfterDrain();
    void applyLineSettings();
    void applyRts();
    void requireOpen(const char* operation) const;
    void checkDeviceGone();
    void markDeviceGone(const QString& reason);
    void onReadyRead();
    void onError();
    void holdWhileFull();
    void waitForRoom(int milliseconds);
    long kernelQueued() const;

    PortMap m_map;
    std::unique_ptr<QSerialPort> m_port;
    LineSettings m_settings;
    int m_commPort = 1;
    bool m_rtsEnable = true;
    int m_rThreshold = 0;
    long m_kernelQueued = 0;
    bool m_holding = false;
    bool m_receivePosted = false;
    int m_commEvent = 0;
    bool m_deviceGone = false;
    QString m_goneReason;
};

}  // namespace flashupdate
