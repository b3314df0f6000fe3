#include "common/failure.h"

namespace flashupdate {

const char* nameOf(FailureKind kind) {
    switch (kind) {
        case FailureKind::Usage:
            return "usage";
        case FailureKind::File:
            return "file";
        case FailureKind::Port:
            return "port";
        case FailureKind::NotOpen:
            return "not-open";
        case FailureKind::Settings:
            return "settings";
        case FailureKind::Missing:
            return "missing";
        case FailureKind::Busy:
            return "busy";
        case FailureKind::Permission:
            return "permission";
        case FailureKind::TooManyFiles:
            return "too-many-files";
        case FailureKind::Gone:
            return "gone";
        case FailureKind::Refused:
            return "refused";
        case FailureKind::Unreachable:
            return "unreachable";
        case FailureKind::Protocol:
            return "protocol";
        case FailureKind::Stalled:
            return "stalled";
        case FailureKind::TlsSettings:
            return "tls-settings";
        case FailureKind::TlsKeyExposed:
            return "tls-key-exposed";
        case FailureKind::TlsUntrusted:
            return "tls-untrusted";
        case FailureKind::TlsNameMismatch:
            return "tls-name-mismatch";
        case FailureKind::TlsExpired:
            return "tls-expired";
        case FailureKind::TlsPinMismatch:
            return "tls-pin-mismatch";
        case FailureKind::TlsClientCertificate:
            return "tls-client-certificate";
        case FailureKind::PlainServer:
            return "plain-server";
        case FailureKind::TlsServer:
            return "tls-server";
        case FailureKind::NoAnswer:
            return "no-answer";
        case FailureKind::BadChecksum:
            return "bad-checksum";
        case FailureKind::Stopped:
            return "stopped";
        case FailureKind::Other:
            break;
    }
    return "other";
}

bool isPortFailure(FailureKind kind) {
    return kind >= FailureKind::Port && kind <= FailureKind::TlsServer;
}

int exitStatusOf(FailureKind kind) {
    if (isPortFailure(kind)) {
        return kPortError;
    }
    switch (kind) {
        case FailureKind::Usage:
            return kUsageError;
        case FailureKind::File:
            return kFileError;
        case FailureKind::NoAnswer:
            return kNoAnswer;
        case FailureKind::BadChecksum:
            return kBadChecksum;
        case FailureKind::Stopped:
            return kStopped;
        default:
            return kOtherFailure;
    }
}

const char* outcomeNameOf(std::optional<FailureKind> kind) {
    if (!kind) {
        return "updated";
    }
    if (isPortFailure(*kind)) {
        return "port-error";
    }
    switch (*kind) {
        case FailureKind::Usage:
            return "usage-error";
        case FailureKind::File:
            return "file-error";
        case FailureKind::NoAnswer:
        case FailureKind::BadChecksum:
        case FailureKind::Stopped:
            return nameOf(*kind);
        default:
            return "failed";
    }
}

}  // namespace flashupdate
