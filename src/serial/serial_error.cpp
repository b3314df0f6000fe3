#include "serial/serial_error.h"

namespace flashupdate {

const char* nameOf(PortErrorKind kind) {
    switch (kind) {
        case PortErrorKind::NotOpen:
            return "not-open";
        case PortErrorKind::Settings:
            return "settings";
        case PortErrorKind::Missing:
            return "missing";
        case PortErrorKind::Busy:
            return "busy";
        case PortErrorKind::Permission:
            return "permission";
        case PortErrorKind::TooManyFiles:
            return "too-many-files";
        case PortErrorKind::Gone:
            return "gone";
        case PortErrorKind::Refused:
            return "refused";
        case PortErrorKind::Unreachable:
            return "unreachable";
        case PortErrorKind::Protocol:
            return "protocol";
        case PortErrorKind::Stalled:
            return "stalled";
        case PortErrorKind::TlsSettings:
            return "tls-settings";
        case PortErrorKind::TlsKeyExposed:
            return "tls-key-exposed";
        case PortErrorKind::TlsUntrusted:
            return "tls-untrusted";
        case PortErrorKind::TlsNameMismatch:
            return "tls-name-mismatch";
        case PortErrorKind::TlsExpired:
            return "tls-expired";
        case PortErrorKind::TlsPinMismatch:
            return "tls-pin-mismatch";
        case PortErrorKind::TlsClientCertificate:
            return "tls-client-certificate";
        case PortErrorKind::PlainServer:
            return "plain-server";
        case PortErrorKind::TlsServer:
            return "tls-server";
        case PortErrorKind::Other:
            break;
    }
    return "other";
}

}  // namespace flashupdate
