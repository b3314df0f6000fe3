// The connection to a serial device server over TLS ("rfc2217+tls://HOST:PORT"), on QSslSocket:
// TLS 1.2 or later, the server's certificate checked against the system's CAs or the CA file
// given, or against a pinned fingerprint, and its name or address against the one connected to.
// The listener hears connected() only once the server has passed every check, so not a byte of
// the line leaves before; each way the check fails ends the connection with a kind of its own.
#pragma once

#include <QSsl>
#include <optional>

#include "serial/qt/tcp_connection.h"
#include "serial/tls_policy.h"

class QSslError;
class QSslSocket;

namespace flashupdate {

class TlsConnection final : public TcpConnection {
public:
    explicit TlsConnection(TlsSettings settings);

    void connectTo(const std::string& host, std::uint16_t port) override;
    void write(std::string_view bytes) override;
    std::size_t queued() override;
    SerialError notConnectedWithin(std::chrono::milliseconds limit) const override;
    void addFacts(FailureFacts& facts) const override;

protected:
    void tcpConnected() override {}
    bool carrying() const override;
    qint64 heldBeyondBuffer() const override;
    SerialError whyEnded(QAbstractSocket::SocketError error) const override;

private:
    QSslSocket& secureSocket() const;
    // The CA, certificate and key files read into the socket's configuration; a failure why not.
    std::optional<SerialError> configure();
    void onSslErrors(const QList<QSslError>& errors);
    void onEncrypted();
    void onAlert(QSsl::AlertLevel level, QSsl::AlertType type, const QString& description);
    // The server's certificate's fingerprint differs from the pin: the failure that says so.
    std::optional<SerialError> pinMismatch() const;

    TlsSettings m_settings;
    // The pin as hex digits, when one is given.
    std::optional<std::string> m_pin;
    bool m_encrypted = false;
    // Why the server failed the check, or what the server said of us in an alert.
    std::optional<SerialError> m_failure;
};

}  // namespace flashupdate
