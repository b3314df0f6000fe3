#include "serial/qt/local_transport.h"

#include <QSerialPort>

#include "serial/port_names.h"
#include "serial/qt/line_probes.h"
#include "serial/qt/serial_diagnostics.h"

namespace flashupdate {

namespace {

// Received bytes are announced once the line has been quiet this long: over 4 character times at
// every speed the procedure receives at and three FTDI latency periods (16 ms each), so an answer
// that straddles USB packets is one burst.
constexpr Transport::BurstTiming kBurstTiming{std::chrono::milliseconds(50),
                                              std::chrono::milliseconds(500)};
// The UART's own FIFO, which no queue count includes.
constexpr std::size_t kUncountedFifoBytes = 16;

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

// Qt tells a missing device apart; a permission error may be another program's lock, this
// account's rights or, when the lock file could not be made, a lack of descriptors.
PortErrorKind openFailureKind(const QSerialPort& port, const std::string& path) {
    if (probes::outOfDescriptors()) {
        return PortErrorKind::TooManyFiles;
    }
    switch (port.error()) {
        case QSerialPort::DeviceNotFoundError:
            return PortErrorKind::Missing;
        case QSerialPort::PermissionError:
            return probes::mayReadAndWrite(path) ? PortErrorKind::Busy : PortErrorKind::Permission;
        default:
            return PortErrorKind::Other;
    }
}

}  // namespace

LocalTransport::LocalTransport(EventLoop& events) : m_events(events), m_fifo(kUncountedFifoBytes) {}

void LocalTransport::beginOpen(const std::string& name, const LineSettings& settings, bool rts) {
    try {
        open(name, settings);
        setRts(rts);
        // Whatever arrived before this opening belongs to nobody.
        m_port->clear(QSerialPort::Input);
    } catch (const SerialError& error) {
        tellOpenFailed(error);
        return;
    }
    tellOpened();
}

LocalTransport::~LocalTransport() {
    if (m_port && m_port->isOpen()) {
        // Nothing more is sent.
        m_port->clear(QSerialPort::Output);
        m_port->close();
    }
}

void LocalTransport::open(const std::string& name, const LineSettings& settings) {
    m_path = deviceToOpen(name);
    m_settings = settings;
    m_port = std::make_unique<QSerialPort>();
    m_port->setPortName(QString::fromStdString(m_path));
    if (!m_port->open(QIODevice::ReadWrite)) {
        failOpening(openFailureKind(*m_port, m_path), m_port->errorString().toStdString());
    }
    // Qt's lock file goes by the name; this lock goes by the device, so a second opening by
    // another name (even root's) is refused too.
    if (!probes::lockExclusively(*m_port)) {
        failOpening(PortErrorKind::Busy, "another program holds the port");
    }
    connect(m_port.get(), &QSerialPort::readyRead, this, &LocalTransport::onReadyRead);
    connect(m_port.get(), &QSerialPort::errorOccurred, this, &LocalTransport::onError);
    // Nothing inherited from the last program that used the port.
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    try {
        applySettings(settings);
    } catch (const SerialError& error) {
        failOpening(error.kind(), error.what());
    }
    m_port->setDataTerminalReady(true);
}

void LocalTransport::failOpening(PortErrorKind kind, const std::string& reason) {
    if (m_port->isOpen()) {
        m_port->close();
    }
    m_port.reset();
    throw SerialError(reason, kind);
}

void LocalTransport::applySettings(const LineSettings& settings) {
    m_settings = settings;
    const bool applied =
        m_port->setBaudRate(settings.baudRate) &&
        m_port->setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
        m_port->setParity(toQtParity(settings.parity)) &&
        m_port->setStopBits(toQtStopBits(settings.stopBits));
    if (!applied) {
        throw SerialError(
            "the device refused the line settings: " + m_port->errorString().toStdString(),
            PortErrorKind::Settings);
    }
}

void LocalTransport::setRts(bool rts) {
    // A device without modem lines (a pseudo-terminal) has no RTS to hold: not an error.
    if (!m_port->setRequestToSend(rts) &&
        m_port->error() == QSerialPort::UnsupportedOperationError) {
        m_port->clearError();
    }
}

std::size_t LocalTransport::write(std::string_view bytes) {
    const probes::WriteOutcome outcome = probes::writeNow(*m_port, bytes);
    if (outcome.gone) {
        markGone();
        throw SerialError("the device has gone away", PortErrorKind::Gone);
    }
    if (!outcome.error.empty()) {
        throw SerialError("write failed: " + outcome.error);
    }
    const auto byteTime = std::chrono::nanoseconds(
        static_cast<std::chrono::nanoseconds::rep>(1e9 * m_settings.secondsPerByte()));
    m_fifo.wrote(outcome.taken, byteTime, m_events.monotonicTime());
    return outcome.taken;
}

std::size_t LocalTransport::queued() {
    if (!m_port || !m_port->isOpen()) {
        return 0;
    }
    const std::size_t queued = probes::transmitQueued(*m_port);
    m_fifo.queueSeen(queued, m_events.monotonicTime());
    return queued;
}

void LocalTransport::purgeInput() {
    if (m_port && m_port->isOpen()) {
        m_port->clear(QSerialPort::Input);
    }
}

void LocalTransport::purgeOutput() {
    if (m_port && m_port->isOpen()) {
        // Qt's buffer and the kernel's queue (tcflush); what a pseudo-terminal or a bridge has
        // already passed on is beyond recall.
        m_port->clear(QSerialPort::Output);
    }
}

void LocalTransport::beginClose() {
    if (!m_port || !m_port->isOpen()) {
        tellClosed();
        return;
    }
    // Closing restores the settings the device had before opening: the last bytes in the UART's
    // FIFO must be out before the speed changes under them. Bytes still counted have not left
    // within the control's drain limit, and waiting longer for them changes nothing.
    if (m_gone || queued() > 0) {
        letGo();
        return;
    }
    const auto fifoTime =
        std::chrono::ceil<std::chrono::milliseconds>(m_fifo.emptyIn(m_events.monotonicTime()));
    if (fifoTime.count() <= 0) {
        letGo();
        return;
    }
    m_fifoWait = m_events.createTimer();
    m_fifoWait->setInterval(static_cast<int>(fifoTime.count()));
    m_fifoWait->setOnTick([this] { letGo(); });
    m_fifoWait->setEnabled(true);
}

void LocalTransport::letGo() {
    if (m_fifoWait) {
        m_fifoWait->setEnabled(false);
    }
    if (m_port && m_port->isOpen()) {
        m_port->close();
    }
    tellClosed();
}

void LocalTransport::checkLine() {
    if (!m_gone && m_port && m_port->isOpen() && probes::hungUp(*m_port)) {
        markGone();
    }
}

Transport::BurstTiming LocalTransport::burstTiming() const {
    return kBurstTiming;
}

FailureFacts LocalTransport::factsAbout(PortErrorKind kind) const {
    return deviceFacts(m_path, kind);
}

void LocalTransport::markGone() {
    if (m_gone) {
        return;
    }
    m_gone = true;
    lose(SerialError("the device has gone away", PortErrorKind::Gone));
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

void LocalTransport::onReadyRead() {
    // Taken at once, so that a hang-up cannot flush it and the burst's end is timed from the
    // last bytes' arrival.
    const QByteArray bytes = m_port->readAll();
    announce(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void LocalTransport::onError() {
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
            markGone();
            break;
        default:
            break;
    }
}

}  // namespace flashupdate
