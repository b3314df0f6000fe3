// ser2net, Debian's serial device server, serving a device over RFC 2217 on a free loopback
// port for as long as this object lives, over TLS when given a filter such as
// "ssl(key=...,cert=...)". Its configuration lives in a temporary directory; the
// server is stopped by its process id at the end, or earlier by stop().
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <string>

namespace flashupdate::testing {

class Ser2NetProcess {
public:
    struct Tls {
        std::string filter;   // "ssl(key=...,cert=...[,clientauth])"
        std::string authDir;  // where ser2net finds <user>/allowed_certs, for clientauth
    };
    explicit Ser2NetProcess(const std::string& devicePath, const Tls& tls = {});
    ~Ser2NetProcess();
    Ser2NetProcess(const Ser2NetProcess&) = delete;
    Ser2NetProcess& operator=(const Ser2NetProcess&) = delete;

    // Listening; otherwise why not, in error().
    bool ready() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    // "rfc2217://127.0.0.1:PORT", or "rfc2217+tls://127.0.0.1:PORT" over TLS.
    QString portName() const;
    // "127.0.0.1:PORT", for a name of the other scheme.
    QString address() const;
    // Ends the server at once, as one that is switched off.
    void stop();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    bool m_tls = false;
    QString m_error;
};

// A loopback port nothing listens on (for now).
int freeLoopbackPort();

}  // namespace flashupdate::testing
