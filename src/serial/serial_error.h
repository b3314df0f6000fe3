// The one exception of the serial layer: what failed, in words for whoever debugs the line, and
// its kind, for the decisions.
#pragma once

#include <stdexcept>
#include <string>

namespace flashupdate {

// What went wrong with a port, as a decision needs it: the diagnostics, the causes and the
// remedies follow from the kind, never from the words of a message.
enum class PortErrorKind {
    Other,
    NotOpen,       // an operation on a port that is not open
    Settings,      // a malformed settings text, or settings the device refused
    Missing,       // no such device, or a name that cannot mean one
    Busy,          // another program holds the device
    Permission,    // this account may not use the device
    TooManyFiles,  // the process or the system has run out of descriptors
    Gone,          // the device hung up or the connection ended
    Refused,       // the serial device server refused the connection
    Unreachable,   // the server's host cannot be reached or named, or does not answer
    Protocol,      // the server broke the protocol or refused what the line needs
    Stalled,       // the far end has taken nothing for the stall limit
    // A line over TLS (rfc2217+tls://): each way the server or our side can fail the check
    // before a byte of the line is sent.
    TlsSettings,           // a CA, certificate or key file that cannot be used, a bad pin
    TlsKeyExposed,         // our private key may be read by others than its owner
    TlsUntrusted,          // the server's certificate is issued by nobody we trust
    TlsNameMismatch,       // the server's certificate is for another name or address
    TlsExpired,            // the server's certificate has expired or is not valid yet
    TlsPinMismatch,        // the server's certificate is not the one pinned
    TlsClientCertificate,  // the server wants a client certificate, or not ours
    PlainServer,           // a TLS name, but the server does not speak TLS
    TlsServer,             // a plain name, but the server speaks TLS
};

// "other", "not-open", "settings", "missing", "busy", "permission", "too-many-files", "gone",
// "refused", "unreachable", "protocol", "stalled", "tls-settings", "tls-key-exposed",
// "tls-untrusted", "tls-name-mismatch", "tls-expired", "tls-pin-mismatch",
// "tls-client-certificate", "plain-server", "tls-server".
const char* nameOf(PortErrorKind kind);

class SerialError : public std::runtime_error {
public:
    explicit SerialError(const std::string& what, PortErrorKind kind = PortErrorKind::Other)
        : std::runtime_error(what), m_kind(kind) {}
    PortErrorKind kind() const { return m_kind; }

private:
    PortErrorKind m_kind;
};

}  // namespace flashupdate
