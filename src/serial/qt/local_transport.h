// A serial device of this computer (a UART, a USB adapter, a pseudo-terminal) through Qt
// SerialPort, under the serial control.
//
// Beyond what Qt gives: bytes go to the descriptor directly, so a full buffer shows for what it
// is and exactly what the device took is known; the queue counted is Qt's and the kernel's; only
// a device that hangs up or fails for good is taken as gone, and its port is closed so that Qt's
// notifier stops reporting it (Qt 6.4 would spin a core); an opening is the device's only one,
// whatever name it was opened by; closing lets the UART's FIFO, which nobody counts, empty
// before Qt restores the old speed under it.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "serial/event_loop.h"
#include "serial/transport.h"
#include "serial/uart_fifo.h"

class QSerialPort;

namespace flashupdate {

class LocalTransport final : public QObject, public Transport {
public:
    explicit LocalTransport(EventLoop& events);
    ~LocalTransport() override;

    // Opening a local device takes no time: opened() or openFailed() is told before this
    // returns.
    void beginOpen(const std::string& name, const LineSettings& settings, bool rts) override;
    void applySettings(const LineSettings& settings) override;
    void setRts(bool rts) override;
    std::size_t write(std::string_view bytes) override;
    std::size_t queued() override;
    void purgeInput() override;
    void purgeOutput() override;
    void beginClose() override;
    void checkLine() override;
    BurstTiming burstTiming() const override;
    FailureFacts factsAbout(PortErrorKind kind) const override;

private:
    void markGone();
    void onReadyRead();
    void onError();
    void open(const std::string& name, const LineSettings& settings);
    [[noreturn]] void failOpening(PortErrorKind kind, const std::string& reason);
    void letGo();

    EventLoop& m_events;
    // The wait for the UART's FIFO before the device is let go.
    std::unique_ptr<Timer> m_fifoWait;
    UartFifo m_fifo;
    std::string m_path;
    LineSettings m_settings;
    std::unique_ptr<QSerialPort> m_port;
    bool m_gone = false;
};

}  // namespace flashupdate
