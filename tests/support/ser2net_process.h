// ser2net, Debian's serial device server, serving a device over RFC 2217 on a free loopback
// port for as long as this object lives. Its configuration lives in a temporary directory; the
// server is stopped by its process id at the end, or earlier by stop().
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <string>

namespace flashupdate::testing {

class Ser2NetProcess {
public:
    explicit Ser2NetProcess(const std::string& devicePath);
    ~Ser2NetProcess();
    Ser2NetProcess(const Ser2NetProcess&) = delete;
    Ser2NetProcess& operator=(const Ser2NetProcess&) = delete;

    // Listening; otherwise why not, in error().
    bool ready() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    // "rfc2217://127.0.0.1:PORT"
    QString portName() const;
    // Ends the server at once, as one that is switched off.
    void stop();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};

// A loopback port nothing listens on (for now).
int freeLoopbackPort();

}  // namespace flashupdate::testing
