#include "serial/qt/qt_serial_port.h"

#include <QSerialPort>

#include "serial/qt/line_probes.h"
#include "serial/port_names.h"
#include "serial/qt/serial_diagnostics.h"

namespace flashupdate {

namespace {

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

}  // namespace

// The open device as the pacing sees it.
class QtSerialPort::Device final : public RealTimeDevice {
public:
    explicit Device(QtSerialPort& owner) : m_owner(owner) {}

    std::size_t handOver(std::string_view bytes) override {
        const probes::WriteOutcome outcome = probes::writeNow(*m_owner.m_port, bytes);
        if (outcome.gone) {
            m_owner.markDeviceGone();
        }
        m_owner.checkGone();
        if (!outcome.error.empty()) {
            throw SerialError("write to " + m_owner.devicePath() + " failed: " + outcome.error);
        }
        return outcome.taken;
    }

    std::size_t queued() override { return probes::transmitQueued(*m_owner.m_port); }

    void waitForRoom(Nanos limit) override {
        probes::waitWritable(
            *m_owner.m_port,
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(limit).count()));
        m_owner.checkGone();
    }

private:
    QtSerialPort& m_owner;
};

QtSerialPort::QtSerialPort(PortMap map, QObject* parent)
    : PacedSerialPort(std::move(map), std::make_unique<Device>(*this), parent) {}

QtSerialPort::~QtSerialPort() {
    if (m_port && m_port->isOpen()) {
        // The program is ending: nothing more is sent.
        m_port->clear(QSerialPort::Output);
        m_port->close();
    }
}

void QtSerialPort::setSettings(const std::string& settings) {
    takeSettings(settings);
    if (portOpen()) {
        applyLineSettings();
    }
}

void QtSerialPort::setCommPort(int port) {
    checkPortNumber(port);
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
    return m_port && m_port->isOpen() && !m_gone;
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
    forgetReceived();
    if (portOpen()) {
        m_port->clear(QSerialPort::Input);
    }
}

void QtSerialPort::setOutBufferCount(int count) {
    if (count != 0) {
        throw SerialError("only 0 may be written to the transmit count");
    }
    if (portOpen()) {
        // Qt's buffer and the kernel's queue (tcflush); what a pseudo-terminal or a bridge has
        // already passed on is beyond recall.
        m_port->clear(QSerialPort::Output);
        m_transmit.discard();
    }
}

ByteText QtSerialPort::input() {
    QByteArray bytes;
    if (m_port && m_port->isOpen()) {
        bytes = m_port->readAll();
    }
    return takeReceived(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void QtSerialPort::open() {
    const std::string path = deviceToOpen(devicePath());
    m_port = std::make_unique<QSerialPort>();
    m_gone = false;
    m_goneReason.clear();
    m_transmit.discard();
    forgetReceived();
    m_port->setPortName(QString::fromStdString(path));
    if (!m_port->open(QIODevice::ReadWrite)) {
        const std::string reason = m_port->errorString().toStdString();
        const std::string remedy = remedyForOpenFailure(path, classify(*m_port));
        m_diagnostics("cannot open " + path + ": " + reason +
                      (remedy.empty() ? "" : "\n  " + remedy));
        m_port.reset();
        throw SerialError("cannot open " + path + ": " + reason);
    }
    // Qt's lock file goes by the name; this lock goes by the device, so a second opening by
    // another name (even root's) is refused too.
    if (!probes::lockExclusively(*m_port)) {
        const std::string reason = "another program holds the port";
        m_diagnostics("cannot open " + path + ": " + reason + "\n  " +
                      remedyForOpenFailure(path, OpenFailure::Busy));
        m_port->close();
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

void QtSerialPort::checkGone() {
    if (!m_gone && m_port && m_port->isOpen() && probes::hungUp(*m_port)) {
        markDeviceGone();
    }
    PacedSerialPort::checkGone();
}

void QtSerialPort::markDeviceGone() {
    if (!markGone("the device has gone away")) {
        return;
    }
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
    // Taken at once, so that a hang-up cannot flush it and the burst's end is timed from the
    // last bytes' arrival.
    const QByteArray bytes = m_port->readAll();
    bytesReceived(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void QtSerialPort::onError() {
    if (!m_port) {
        return;
    }
    switch (m_port->error()) {
        case QSerialPort::ReadError:
        case QSerialPort::WriteError:
        case QSerialPort::ResourceError:
            // A full buffer (EAGAIN on a write) and a read that finds nothing because another
            // reader was first both come as errors, port still open: they pass. Only a hang-up
            // means the device is gone; Qt's text for it is a stale one, so say what happened.
            // Where the system cannot tell a hang-up, a resource error is taken as one.
            if (!probes::hungUp(*m_port) &&
                (probes::canTellHangUps() || m_port->error() != QSerialPort::ResourceError)) {
                m_port->clearError();
                break;
            }
            markDeviceGone();
            break;
        default:
            break;
    }
}

void QtSerialPort::closeAfterDrain() {
    forgetReceived();
    // A final command must reach the instrument before the port lets go of it.
    drainBeforeClosing();
    // Closing restores the settings the device had before opening; the last bytes in the UART's
    // FIFO (not counted by the kernel) must be out before the speed changes under them.
    if (!m_gone && probes::transmitQueued(*m_port) == 0) {
        probes::drainTransmitter(*m_port);
    }
    m_port->close();
    m_transmit.discard();
}

}  // namespace flashupdate
