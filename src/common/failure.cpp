#include "common/failure.h"

#include <cstdio>

namespace flashupdate {

namespace {

// A path as a technician can paste it into a shell.
std::string quoted(const std::string& path) {
    return path.find_first_of(" \t'\"\\$") == std::string::npos ? path : "'" + path + "'";
}

// Whatever the medium: each of these failures is TLS's own.
std::string tlsRemedy(FailureKind kind, const FailureFacts& facts) {
    switch (kind) {
        case FailureKind::TlsSettings:
            return "Check the files and the pin given with --tls-ca, --tls-pin, --tls-cert and "
                   "--tls-key, or TlsCa=, TlsPin=, TlsCert= and TlsKey= in the settings file: "
                   "certificates and keys in PEM, a pin as sha256:HEX.";
        case FailureKind::TlsKeyExposed:
            return "Make the key readable by its owner alone: chmod 600 " +
                   quoted(facts.tlsKeyFile);
        case FailureKind::TlsUntrusted:
            return facts.tlsCaFile.empty()
                       ? "Give the CA that issued the server's certificate (--tls-ca FILE, or "
                         "TlsCa= in the settings file), or pin the certificate (--tls-pin "
                         "sha256:HEX, or TlsPin=)."
                       : "The server's certificate is not issued by the CA in " +
                             quoted(facts.tlsCaFile) +
                             ": is it the right server, and the right CA file?";
        case FailureKind::TlsNameMismatch:
            return "Name the server as its certificate does, or have a certificate made whose "
                   "subjectAltName holds the name or address used (openssl: "
                   "-addext subjectAltName=DNS:HOST,IP:ADDRESS).";
        case FailureKind::TlsExpired:
            return "Check the clock of this computer; if it is right, the server needs a new "
                   "certificate.";
        case FailureKind::TlsPinMismatch:
            return "Another certificate answers at this address. If the server's certificate was "
                   "renewed, pin the fingerprint shown after checking it on the server "
                   "(openssl x509 -in server.pem -noout -fingerprint -sha256).";
        case FailureKind::TlsClientCertificate:
            return facts.tlsCertFile.empty()
                       ? "The server accepts only technicians with a certificate: give yours "
                         "with --tls-cert FILE --tls-key FILE, or TlsCert= and TlsKey= in the "
                         "settings file."
                       : "The server does not accept the certificate in " +
                             quoted(facts.tlsCertFile) +
                             ": is it issued by the CA the server names (ssl(...,CA=...))?";
        case FailureKind::PlainServer:
            return "The server speaks plain RFC 2217: give it an ssl(...) accepter (see the "
                   "README), or, on a network you trust, name it rfc2217://HOST:PORT.";
        case FailureKind::TlsServer:
            return "The server may speak TLS: name it rfc2217+tls://HOST:PORT. Or another "
                   "client holds the line.";
        default:
            return {};
    }
}

std::string permissionRemedy(const FailureFacts& facts) {
    if (!facts.access) {
        return "Check that this account may use the port.";
    }
    const FailureFacts::Access& access = *facts.access;
    constexpr unsigned kGroupReadWrite = 0060;
    if ((access.mode & kGroupReadWrite) == kGroupReadWrite && !access.groupIsRoot &&
        !access.inGroup) {
        return "The device belongs to the " + access.group + " group: add your user to it " +
               "(sudo usermod -aG " + access.group + " $USER), then log in again.";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", access.mode);
    return facts.device + " is owned by " + access.owner + ", group " + access.group + ", mode " +
           mode + ": this account may not open it. Ask whoever administers the " +
           "computer for access (a udev rule can give the device a group).";
}

std::string deviceRemedy(FailureKind kind, const FailureFacts& facts) {
    switch (kind) {
        case FailureKind::Permission:
            return permissionRemedy(facts);
        case FailureKind::Busy: {
            std::string text = "Another program holds the port";
            text += facts.holders.empty() ? "" : ": " + facts.holders;
            text += ". Close it and try again.";
#ifdef __linux__
            if (facts.holders.find("ModemManager") != std::string::npos) {
                text +=
                    " ModemManager probes serial adapters: stop it, or mark the adapter "
                    "with a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\".";
            }
#endif
            return text;
        }
        case FailureKind::Missing:
#ifdef __linux__
            if (facts.device.find("ttyUSB") != std::string::npos ||
                facts.device.find("ttyACM") != std::string::npos ||
                facts.device.find("/dev/serial/") != std::string::npos) {
                return "Check that the USB adapter is plugged in. If it vanishes as soon as it is "
                       "plugged in, brltty may claim it (dmesg shows \"claimed by ... brltty\"): "
                       "remove brltty or disable its udev rule.";
            }
            return "Check the cable and the device name. Com1 to Com4 can name other devices in "
                   "~/.config/Quenlid/flashupdate.conf.";
#else
            return "Check that the port exists and the adapter is plugged in.";
#endif
        default:
            return {};
    }
}

}  // namespace

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

std::string remedyOf(FailureKind kind, const FailureFacts& facts) {
    if (std::string tls = tlsRemedy(kind, facts); !tls.empty()) {
        return tls;
    }
    if (kind == FailureKind::TooManyFiles) {
        return "The program has run out of open files: raise the limit (ulimit -n) or update "
               "fewer instruments at once.";
    }
    switch (facts.medium) {
        case FailureFacts::Medium::Device:
            return deviceRemedy(kind, facts);
        case FailureFacts::Medium::Server:
            // A server's address that cannot mean one has its reason, and nothing to check
            // on the server.
            if (isPortFailure(kind) && kind != FailureKind::Missing) {
                return "Is the server running, is the port number right, is another client "
                       "connected? The server must speak RFC 2217 (ser2net: accepter: "
                       "telnet(rfc2217),tcp,...).";
            }
            return {};
        case FailureFacts::Medium::Unknown:
            break;
    }
    return {};
}

}  // namespace flashupdate
