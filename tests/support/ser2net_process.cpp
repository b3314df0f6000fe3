#include "support/ser2net_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QThread>

#include "support/test_files.h"

namespace flashupdate::testing {

namespace {

// Whether something listens on the loopback port, from the kernel's table: asking by connecting
// would make the server open its device.
bool listening(int port) {
    QFile table("/proc/net/tcp");
    if (!table.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QString local = QString("0100007F:%1").arg(port, 4, 16, QChar('0')).toUpper();
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && QString(fields[1]).toUpper() == local && fields[3] == "0A") {
            return true;
        }
    }
    return false;
}

}  // namespace

int freeLoopbackPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

Ser2NetProcess::Ser2NetProcess(const std::string& devicePath, const Tls& tls)
    : m_port(freeLoopbackPort()), m_tls(!tls.filter.empty()) {
    const QString config = m_dir.filePath("ser2net.yaml");
    writeFile(config.toStdString(),
              "connection: &instrument\n"
              "  accepter: telnet(rfc2217)," +
                  (m_tls ? tls.filter + "," : std::string()) + "tcp,127.0.0.1," +
                  std::to_string(m_port) +
                  "\n"
                  "  connector: serialdev," +
                  devicePath + ",9600n81,local\n" +
                  (tls.authDir.empty() ? std::string()
                                       : "  options:\n    authdir: " + tls.authDir + "\n"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("ser2net", {"-n", "-d", "-c", config});
    if (!m_process.waitForStarted(5000)) {
        m_error = "ser2net does not start: " + m_process.errorString();
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!listening(m_port)) {
        if (m_process.state() != QProcess::Running || waited.elapsed() > 20'000) {
            m_error = "ser2net does not listen: " + QString::fromLocal8Bit(m_process.readAll());
            return;
        }
        QThread::msleep(20);
    }
}

Ser2NetProcess::~Ser2NetProcess() {
    stop();
}

QString Ser2NetProcess::portName() const {
    return (m_tls ? "rfc2217+tls://" : "rfc2217://") + address();
}

QString Ser2NetProcess::address() const {
    return QString("127.0.0.1:%1").arg(m_port);
}

void Ser2NetProcess::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

}  // namespace flashupdate::testing
