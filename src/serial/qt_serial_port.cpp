#include "serial/qt_serial_port.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>
#include <algorithm>
#include <iostream>

#include "serial/serial_diagnostics.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace flashupdate {

namespace {

// A write that makes no progress for this long has a device that no longer takes data.
constexpr qint64 kStallMs = 10'000;
// Closing waits at most this long for written bytes to leave the line.
constexpr qint64 kCloseDrainLimitMs = 2'000;
constexpr int kPollSliceMs = 100;
constexpr int kDrainSleepMs = 5;
constexpr qint64 kHandOverChunk = 256;

QSerialPort::Parity toQtParity(char parity) {
    switch (parity) {
        case 'E':
            return QSerialPort::EvenParity;
        case 'O':
            return QSerialPort::OddParity;
        case 'M':
            return QSerialPort::MarkParity;
        case 'S':
            return QSerialPort::SpaceParity;
        default:
            return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits toQtStopBits(int stopBits) {
    switch (stopBits) {
        case 2:
            return QSerialPort::TwoStop;
        case 15:
            return QSerialPort::OneAndHalfStop;
        default:
            return QSerialPort::OneStop;
    }
}

OpenFailure classify(const QSerialPort& port) {
    switch (port.error()) {
        case QSerialPort::DeviceNotFoundError:
            return OpenFailure::Missing;
        case QSerialPort::PermissionError: {
            const QString reason = port.errorString();
            return reason.contains("lock", Qt::CaseInsensitive) ||
                           reason.contains("busy", Qt::CaseInsensitive)
                       ? OpenFailure::Busy
                       : OpenFailure::Forbidden;
        }
        default:
            return OpenFailure::Other;
    }
}

// Keeps receive events out of blocking waits: while set, they are posted to the event queue.
class HoldScope {
public:
    explicit HoldScope(bool& holding) : m_holding(holding), m_was(holding) { m_holding = true; }
    HoldScope(const HoldScope&) = delete;
    HoldScope& operator=(const HoldScope&) = delete;
    ~HoldScope() { m_holding = m_was; }

private:
    bool& m_holding;
    bool m_was;
};

}  // namespace

QtSerialPort::QtSerialPort(PortMap map, QObject* parent)
    : QObject(parent), m_map(std::move(map)), m_settings(LineSettings::parse("9600,N,8,1")) {}

QtSerialPort::~QtSerialPort() {
    if (m_port && m_port->isOpen()) {
        // The program is ending: nothing more is sent.
        m_port->clear(QSerialPort::Output);
        m_port->close();
    }
}

std::string QtSerialPort::devicePath() const {
    return m_map.devicePath(m_commPort);
}

void QtSerialPort::setSettings(const std::string& settings) {
    m_settings = LineSettings::parse(settings);
    if (portOpen()) {
        applyLineSettings();
    }
}

void QtSerialPort::setCommPort(int port) {
    if (port < PortMap::kFirstPort || port > PortMap::kLastPort) {
        throw SerialError("no serial port Com" + std::to_string(port));
    }
    if (portOpen()) {
        if (port == m_commPort) {
            // The same port, left open by an earlier run: it goes on with the settings in force.
            applyLineSettings();
            return;
        }
        // Another port left open by an earlier run would otherwise fail every later run.
        closeAfterDrain();
    }
    m_commPort = port;
}

bool QtSerialPort::portOpen() const {
    return m_port && m_port->isOpen() && !m_deviceGone;
}

void QtSerialPort::setPortOpen(bool open) {
    if (open) {
        if (portOpen()) {
            throw SerialError("port already open");
        }
        this->open();
    } else if (portOpen()) {
        closeAfterDrain();
    }
}

void QtSerialPort::setInputLen(int) {}
void QtSerialPort::setSThreshold(int) {}
void QtSerialPort::setRThreshold(int threshold) {
    m_rThreshold = threshold;
}

void QtSerialPort::setRTSEnable(bool enable) {
    m_rtsEnable = enable;
    if (portOpen()) {
        applyRts();
    }
}

void QtSerialPort::setInBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the receive count");
    }
    if (portOpen()) {
        m_port->clear(QSerialPort::Input);
    }
}

void QtSerialPort::setOutBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the transmit count");
    }
    if (portOpen()) {
        m_port->clear(QSerialPort::Output);
        m_kernelQueued = 0;
    }
}

int QtSerialPort::outBufferCount() {
    requireOpen("reading the transmit count");
    m_kernelQueued = kernelQueued();
    return static_cast<int>(m_port->bytesToWrite() + m_kernelQueued);
}

void QtSerialPort::output(const ByteText& data) {
    requireOpen("writing");
    const bool idle = m_port->bytesToWrite() == 0;
    if (m_port->write(data.data(), static_cast<qint64>(data.size())) !=
        static_cast<qint64>(data.size())) {
        checkDeviceGone();
        throw SerialError("write to " + devicePath() +
                          " failed: " + m_port->errorString().toStdString());
    }
    // Qt hands bytes to the device only when the event queue runs: start a burst, and each
    // chunk of it, at once, so a command goes out even when nothing pumps after it.
    if (idle || data.size() > 1 || m_port->bytesToWrite() >= kHandOverChunk) {
        m_port->flush();
    }
    if (m_port->bytesToWrite() + m_kernelQueued > kTransmitLimit) {
        holdWhileFull();
    }
}

ByteText QtSerialPort::input() {
    if (!portOpen()) {
        return {};
    }
    const QByteArray bytes = m_port->readAll();
    return ByteText(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

int QtSerialPort::commEvent() const {
    return m_commEvent;
}

void QtSerialPort::open() {
    const std::string path = devicePath();
    m_port = std::make_unique<QSerialPort>();
    m_deviceGone = false;
    m_kernelQueued = 0;
    m_port->setPortName(QString::fromStdString(path));
    if (!m_port->open(QIODevice::ReadWrite)) {
        const std::string reason = m_port->errorString().toStdString();
        const std::string remedy = remedyForOpenFailure(path, classify(*m_port));
        std::cerr << "flashupdate: cannot open " << path << ": " << reason
                  << (remedy.empty() ? "" : "\n  " + remedy) << std::endl;
        m_port.reset();
        throw SerialError("cannot open " + path + ": " + reason);
    }
    connect(m_port.get(), &QSerialPort::readyRead, this, &QtSerialPort::onReadyRead);
    connect(m_port.get(), &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
    // Nothing inherited from the last program that used the port.
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    applyLineSettings();
    m_port->setDataTerminalReady(true);
    applyRts();
    // Whatever arrived before this opening belongs to nobody.
    m_port->clear(QSerialPort::Input);
}

void QtSerialPort::applyLineSettings() {
    const bool applied =
        m_port->setBaudRate(m_settings.baudRate) &&
        m_port->setDataBits(static_cast<QSerialPort::DataBits>(m_settings.dataBits)) &&
        m_port->setParity(toQtParity(m_settings.parity)) &&
        m_port->setStopBits(toQtStopBits(m_settings.stopBits));
    if (!applied) {
        throw SerialError(devicePath() +
                          " refused the line settings: " + m_port->errorString().toStdString());
    }
}

void QtSerialPort::applyRts() {
    // A device without modem lines (a pseudo-terminal) has no RTS to hold: not an error.
    if (!m_port->setRequestToSend(m_rtsEnable) &&
        m_port->error() == QSerialPort::UnsupportedOperationError) {
        m_port->clearError();
    }
}

void QtSerialPort::requireOpen(const char* operation) const {
    if (m_deviceGone) {
        throw SerialError(std::string(operation) + ": " + m_goneReason.toStdString());
    }
    if (!portOpen()) {
        throw SerialError(std::string(operation) + ": port is not open");
    }
}

void QtSerialPort::checkDeviceGone() {
    if (!m_deviceGone && m_port && m_port->isOpen()) {
#ifdef Q_OS_UNIX
        pollfd descriptor{static_cast<int>(m_port->handle()), 0, 0};
        if (::poll(&descriptor, 1, 0) > 0 && (descriptor.revents & (POLLHUP | POLLERR)) != 0) {
            markDeviceGone(QStringLiteral("the device has gone away"));
        }
#endif
    }
    if (m_deviceGone) {
        throw SerialError(devicePath() + ": " + m_goneReason.toStdString());
    }
}

void QtSerialPort::markDeviceGone(const QString& reason) {
    if (m_deviceGone) {
        return;
    }
    m_deviceGone = true;
    m_goneReason = reason;
    std::cerr << "flashupdate: " << devicePath() << ": " << reason.toStdString() << std::endl;
    // Closing from inside the port's own signal is not safe; the queue closes it next pass,
    // which also stops its notifier reporting the hang-up over and over.
    QSerialPort* gone = m_port.get();
    QMetaObject::invokeMethod(
        this,
        [this, gone] {
            if (m_port.get() == gone && m_port->isOpen()) {
                m_port->close();
            }
        },
        Qt::QueuedConnection);
}

void QtSerialPort::onReadyRead() {
    if (m_rThreshold <= 0) {
        return;
    }
    // Data that arrives while a write holds is announced through the queue, like any other.
    if (m_holding) {
        if (!m_receivePosted) {
            m_receivePosted = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_receivePosted = false;
                    onReadyRead();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    m_commEvent = comEvReceive;
    raiseOnComm();
}

void QtSerialPort::onError() {
    if (!m_port) {
        return;
    }
    switch (m_port->error()) {
        case QSerialPort::ReadError:
        case QSerialPort::WriteError:
        case QSerialPort::ResourceError:
#ifdef Q_OS_UNIX
        {
            pollfd descriptor{static_cast<int>(m_port->handle()), 0, 0};
            const bool hungUp = ::poll(&descriptor, 1, 0) > 0 &&
                                (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            if (!hungUp && m_port->error() != QSerialPort::ResourceError) {
                m_port->clearError();
                break;
            }
        }
#endif
            // The error text Qt gives for a hang-up is a stale one; say what happened.
            markDeviceGone(QStringLiteral("the device has gone away"));
            break;
        default:
            break;
    }
}

long QtSerialPort::kernelQueued() const {
#ifdef Q_OS_UNIX
    int queued = 0;
    if (m_port && ::ioctl(static_cast<int>(m_port->handle()), TIOCOUTQ, &queued) == 0) {
        return queued;
    }
#endif
    return 0;
}

void QtSerialPort::waitForRoom(int milliseconds) {
    if (m_port->bytesToWrite() > 0) {
        // Writes the next chunk as soon as the device takes it.
        if (!m_port->waitForBytesWritten(milliseconds)) {
            if (m_port->error() == QSerialPort::TimeoutError) {
                m_port->clearError();
            }
            checkDeviceGone();
        }
        return;
    }
#ifdef Q_OS_UNIX
    // Only the kernel's queue is full: a terminal reports room once it has drained below 256.
    pollfd descriptor{static_cast<int>(m_port->handle()), POLLOUT, 0};
    ::poll(&descriptor, 1, milliseconds);
    checkDeviceGone();
#endif
}

void QtSerialPort::holdWhileFull() {
    HoldScope hold(m_holding);
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    qint64 lastPending = -1;
    for (;;) {
        checkDeviceGone();
        m_kernelQueued = kernelQueued();
        const qint64 pending = m_port->bytesToWrite() + m_kernelQueued;
        if (pending <= kTransmitLimit) {
            return;
        }
        if (lastPending < 0 || pending < lastPending) {
            sinceProgress.restart();
        } else if (sinceProgress.elapsed() > kStallMs) {
            throw SerialError(devicePath() + " takes no more data");
        }
        lastPending = pending;
        waitForRoom(kPollSliceMs);
    }
}

void QtSerialPort::closeAfterDrain() {
    HoldScope hold(m_holding);
    m_kernelQueued = kernelQueued();
    const qint64 pending = m_port->bytesToWrite() + m_kernelQueued;
    const auto lineMs = static_cast<qint64>(pending * m_settings.secondsPerByte() * 1000.0) + 100;
    const QDeadlineTimer deadline(std::min(lineMs, kCloseDrainLimitMs));
    // A final command must reach the instrument: Qt would drop what it has not handed over.
    while (!m_deviceGone && m_port->isOpen() && !deadline.hasExpired()) {
        if (m_port->bytesToWrite() > 0) {
            waitForRoom(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        } else if (kernelQueued() > 0) {
#ifdef Q_OS_UNIX
            ::poll(nullptr, 0, kDrainSleepMs);
#endif
        } else {
            break;
        }
    }
    m_kernelQueued = 0;
#ifdef Q_OS_UNIX
    // Closing restores the settings the device had before opening; the last bytes in the UART's
    // FIFO (not counted by the kernel) must be out before the speed changes under them.
    if (!m_deviceGone && kernelQueued() == 0) {
        ::tcdrain(static_cast<int>(m_port->handle()));
    }
#endif
    m_port->close();
}

}  // namespace flashupdate
