#include "serial/qt/tls_connection.h"

#include <QFile>
#include <QFileInfo>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslKey>
#include <QSslSocket>

#include "serial/qt/line_probes.h"

namespace flashupdate {

namespace {

QString fromPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// Errors that say only that nobody we trust vouches for the certificate: a pinned certificate
// stands for that trust itself.
bool isTrustError(QSslError::SslError error) {
    switch (error) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
        case QSslError::InvalidCaCertificate:
        case QSslError::PathLengthExceeded:
            return true;
        default:
            return false;
    }
}

PortErrorKind kindOf(QSslError::SslError error) {
    switch (error) {
        case QSslError::CertificateExpired:
        case QSslError::CertificateNotYetValid:
            return PortErrorKind::TlsExpired;
        case QSslError::HostNameMismatch:
            return PortErrorKind::TlsNameMismatch;
        default:
            return PortErrorKind::TlsUntrusted;
    }
}

// What a server sends when it does not accept the client's certificate, or has none from it.
bool refusesOurCertificate(QSsl::AlertType type) {
    switch (type) {
        case QSsl::AlertType::HandshakeFailure:
        case QSsl::AlertType::BadCertificate:
        case QSsl::AlertType::UnsupportedCertificate:
        case QSsl::AlertType::CertificateRevoked:
        case QSsl::AlertType::CertificateExpired:
        case QSsl::AlertType::CertificateUnknown:
        case QSsl::AlertType::UnknownCa:
        case QSsl::AlertType::AccessDenied:
        case QSsl::AlertType::CertificateRequired:
            return true;
        default:
            return false;
    }
}

// "the server's certificate ("device-server-7", issued by "Plant CA")"
std::string serversCertificate(const QSslCertificate& certificate) {
    const QString subject = certificate.subjectDisplayName();
    const QString issuer = certificate.issuerDisplayName();
    return "the server's certificate (\"" + subject.toStdString() + "\", issued by \"" +
           issuer.toStdString() + "\")";
}

const char* predicateFor(PortErrorKind kind) {
    switch (kind) {
        case PortErrorKind::TlsExpired:
            return "is out of its validity period";
        case PortErrorKind::TlsNameMismatch:
            return "is for another name or address";
        default:
            return "is not trusted";
    }
}

// The private key in PEM, whichever algorithm it is for.
QSslKey readKey(const QByteArray& pem) {
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            return key;
        }
    }
    return {};
}

std::optional<QList<QSslCertificate>> readCertificates(const std::string& path) {
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(
        fromPath(path), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (certificates.isEmpty()) {
        return std::nullopt;
    }
    return certificates;
}

SerialError unusable(const std::string& path, const std::string& what) {
    const bool readable = QFileInfo(fromPath(path)).isReadable();
    return SerialError(readable ? path + " holds no " + what : "cannot read " + path,
                       PortErrorKind::TlsSettings);
}

}  // namespace

TlsConnection::TlsConnection(TlsSettings settings)
    : TcpConnection(std::make_unique<QSslSocket>()),
      m_settings(std::move(settings)),
      m_pin(parsePin(m_settings.pin)) {
    QSslSocket& secure = secureSocket();
    connect(&secure, &QSslSocket::sslErrors, this, &TlsConnection::onSslErrors);
    connect(&secure, &QSslSocket::encrypted, this, &TlsConnection::onEncrypted);
    connect(&secure, &QSslSocket::alertReceived, this, &TlsConnection::onAlert);
    // Each time we have sent, the system would wait up to 40 ms to acknowledge what comes back
    // (it takes us for an interactive peer), and the server, which writes its TLS records one
    // by one under Nagle's rule, waits for that acknowledgement before its next record.
    connect(&secure, &QSslSocket::encryptedBytesWritten, this,
            [this] { probes::acknowledgeAtOnce(socket().socketDescriptor()); });
}

QSslSocket& TlsConnection::secureSocket() const {
    return static_cast<QSslSocket&>(socket());
}

void TlsConnection::connectTo(const std::string& host, std::uint16_t port) {
    if (std::optional<SerialError> refusal = checkTlsSettings(m_settings)) {
        end(*refusal);
        return;
    }
    if (std::optional<SerialError> failure = configure()) {
        end(*failure);
        return;
    }
    // The name the certificate must hold is the host connected to.
    secureSocket().connectToHostEncrypted(QString::fromStdString(host), port);
}

std::optional<SerialError> TlsConnection::configure() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_settings.caFile.empty()) {
        const auto authorities = readCertificates(m_settings.caFile);
        if (!authorities) {
            return unusable(m_settings.caFile, "CA certificate in PEM");
        }
        configuration.setCaCertificates(*authorities);
    }
    if (!m_settings.certFile.empty()) {
        const auto chain = readCertificates(m_settings.certFile);
        if (!chain) {
            return unusable(m_settings.certFile, "certificate in PEM");
        }
        QFile keyFile(fromPath(m_settings.keyFile));
        if (!keyFile.open(QIODevice::ReadOnly)) {
            return unusable(m_settings.keyFile, "key");
        }
        const QSslKey key = readKey(keyFile.readAll());
        if (key.isNull()) {
            return unusable(m_settings.keyFile, "private key in PEM without a passphrase");
        }
        configuration.setLocalCertificateChain(*chain);
        configuration.setPrivateKey(key);
    }
    secureSocket().setSslConfiguration(configuration);
    return std::nullopt;
}

std::optional<SerialError> TlsConnection::pinMismatch() const {
    const QSslCertificate certificate = secureSocket().peerCertificate();
    const std::string seen = certificate.digest(QCryptographicHash::Sha256).toHex().toStdString();
    if (!m_pin || seen == *m_pin) {
        return std::nullopt;
    }
    return SerialError(serversCertificate(certificate) + " has the fingerprint " + pinText(seen) +
                           ", not the one pinned",
                       PortErrorKind::TlsPinMismatch);
}

void TlsConnection::onSslErrors(const QList<QSslError>& errors) {
    if (m_pin) {
        if (std::optional<SerialError> mismatch = pinMismatch()) {
            m_failure = mismatch;
            return;
        }
    }
    // Not ignored, the errors end the handshake: only a pin can stand for the CA's word, and
    // nothing stands for a wrong name or a certificate out of date.
    const QSslError* worst = nullptr;
    for (const QSslError& error : errors) {
        if (m_pin && isTrustError(error.error())) {
            continue;
        }
        const PortErrorKind kind = kindOf(error.error());
        if (worst == nullptr ||
            (kind == PortErrorKind::TlsUntrusted &&
             kindOf(worst->error()) != PortErrorKind::TlsUntrusted) ||
            (kind == PortErrorKind::TlsExpired &&
             kindOf(worst->error()) == PortErrorKind::TlsNameMismatch)) {
            worst = &error;
        }
    }
    if (worst == nullptr) {
        secureSocket().ignoreSslErrors();
        return;
    }
    const PortErrorKind kind = kindOf(worst->error());
    m_failure = SerialError(serversCertificate(secureSocket().peerCertificate()) + " " +
                                predicateFor(kind) + ": " + worst->errorString().toStdString(),
                            kind);
}

void TlsConnection::onEncrypted() {
    // Without a chain error there was no word on the pin yet.
    if (std::optional<SerialError> mismatch = pinMismatch()) {
        m_failure = mismatch;
        end(*m_failure);
        socket().abort();
        return;
    }
    m_encrypted = true;
    tellConnected();
}

void TlsConnection::onAlert(QSsl::AlertLevel level, QSsl::AlertType type,
                            const QString& description) {
    if (m_failure || level != QSsl::AlertLevel::Fatal || !refusesOurCertificate(type)) {
        return;
    }
    m_failure = SerialError("the server refused the connection in the TLS handshake (" +
                                description.toStdString() + ")",
                            PortErrorKind::TlsClientCertificate);
}

void TlsConnection::write(std::string_view bytes) {
    if (!carrying()) {
        return;
    }
    // Not flushed at once: what is written in one turn of the event loop leaves as one TLS
    // record when the loop runs. A record a byte would carry 22 bytes more for each, and the
    // procedure writes a byte at a time.
    socket().write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::size_t TlsConnection::queued() {
    if (!carrying()) {
        return 0;
    }
    return static_cast<std::size_t>(socket().bytesToWrite() + heldBeyondBuffer()) +
           probes::socketQueued(socket().socketDescriptor());
}

bool TlsConnection::carrying() const {
    return m_encrypted && TcpConnection::carrying();
}

qint64 TlsConnection::heldBeyondBuffer() const {
    return secureSocket().encryptedBytesToWrite();
}

SerialError TlsConnection::whyEnded(QAbstractSocket::SocketError error) const {
    if (m_failure) {
        return *m_failure;
    }
    const bool byServer = endedByServer(error) || error == QAbstractSocket::SslHandshakeFailedError;
    if (m_encrypted && byServer && nothingRead()) {
        // A server that checks its clients' certificates only after the handshake (TLS 1.3)
        // hangs up before its first word of Telnet.
        return SerialError(
            "the server ended the connection after the TLS handshake, before a "
            "word of Telnet",
            PortErrorKind::TlsClientCertificate);
    }
    if (!m_encrypted && byServer) {
        if (!secureSocket().peerCertificate().isNull()) {
            return SerialError("the server ended the TLS handshake after showing its certificate",
                               PortErrorKind::TlsClientCertificate);
        }
        return SerialError("the server does not answer in TLS (" +
                               secureSocket().errorString().toStdString() + ")",
                           PortErrorKind::PlainServer);
    }
    return TcpConnection::whyEnded(error);
}

SerialError TlsConnection::notConnectedWithin(std::chrono::milliseconds limit) const {
    if (socket().state() == QAbstractSocket::ConnectedState && !m_encrypted) {
        return SerialError("the server gave no TLS handshake within " +
                               std::to_string(limit.count() / 1000) + " s",
                           PortErrorKind::PlainServer);
    }
    return TcpConnection::notConnectedWithin(limit);
}

void TlsConnection::addFacts(FailureFacts& facts) const {
    facts.tlsCaFile = m_settings.caFile;
    facts.tlsCertFile = m_settings.certFile;
    facts.tlsKeyFile = m_settings.keyFile;
}

}  // namespace flashupdate
