#include "serial/tls_policy.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace flashupdate {

namespace {

// A SHA-256 digest in hex digits.
constexpr std::size_t kPinDigits = 64;
constexpr const char* kPinPrefix = "sha256:";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string quoted(const std::string& path) {
    return path.find_first_of(" \t'\"\\$") == std::string::npos ? path : "'" + path + "'";
}

}  // namespace

TlsSettings TlsSettings::overriddenBy(const TlsSettings& other) const {
    TlsSettings merged = *this;
    for (auto field :
         {&TlsSettings::caFile, &TlsSettings::pin, &TlsSettings::certFile, &TlsSettings::keyFile}) {
        if (!(other.*field).empty()) {
            merged.*field = other.*field;
        }
    }
    return merged;
}

std::optional<std::string> parsePin(const std::string& pin) {
    const std::string lower = lowered(pin);
    if (!lower.starts_with(kPinPrefix)) {
        return std::nullopt;
    }
    std::string digits;
    for (const char c : lower.substr(std::string_view(kPinPrefix).size())) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        } else if (c != ':') {
            return std::nullopt;
        }
    }
    if (digits.size() != kPinDigits) {
        return std::nullopt;
    }
    return digits;
}

std::string pinText(const std::string& hexDigest) {
    return kPinPrefix + lowered(hexDigest);
}

bool keyPermissionsExposed(std::filesystem::perms permissions) {
    using std::filesystem::perms;
    return (permissions & (perms::group_all | perms::others_all)) != perms::none;
}

std::optional<SerialError> keyFileRefusal(const std::filesystem::path& keyFile) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(keyFile, error);
    if (error) {
        return SerialError("cannot read the key file " + keyFile.string() + ": " + error.message(),
                           PortErrorKind::TlsSettings);
    }
#ifndef _WIN32
    // Windows keeps who may read a file in its access lists, which these bits do not show.
    if (keyPermissionsExposed(status.permissions())) {
        return SerialError("the key file " + keyFile.string() +
                               " may be used by others than its owner: it is not used",
                           PortErrorKind::TlsKeyExposed);
    }
#endif
    return std::nullopt;
}

std::optional<SerialError> checkTlsSettings(const TlsSettings& settings) {
    if (!settings.pin.empty() && !parsePin(settings.pin)) {
        return SerialError("the pin " + settings.pin + " is not sha256: and 64 hex digits",
                           PortErrorKind::TlsSettings);
    }
    if (settings.certFile.empty() != settings.keyFile.empty()) {
        return SerialError(settings.certFile.empty()
                               ? "a client key is given without its certificate"
                               : "a client certificate is given without its key",
                           PortErrorKind::TlsSettings);
    }
    if (!settings.keyFile.empty()) {
        return keyFileRefusal(settings.keyFile);
    }
    return std::nullopt;
}

std::string tlsRemedy(PortErrorKind kind, const TlsSettings& settings) {
    switch (kind) {
        case PortErrorKind::TlsSettings:
            return "Check the files and the pin given with --tls-ca, --tls-pin, --tls-cert and "
                   "--tls-key, or TlsCa=, TlsPin=, TlsCert= and TlsKey= in the settings file: "
                   "certificates and keys in PEM, a pin as sha256:HEX.";
        case PortErrorKind::TlsKeyExposed:
            return "Make the key readable by its owner alone: chmod 600 " +
                   quoted(settings.keyFile);
        case PortErrorKind::TlsUntrusted:
            return settings.caFile.empty()
                       ? "Give the CA that issued the server's certificate (--tls-ca FILE, or "
                         "TlsCa= in the settings file), or pin the certificate (--tls-pin "
                         "sha256:HEX, or TlsPin=)."
                       : "The server's certificate is not issued by the CA in " +
                             quoted(settings.caFile) +
                             ": is it the right server, and the right CA file?";
        case PortErrorKind::TlsNameMismatch:
            return "Name the server as its certificate does, or have a certificate made whose "
                   "subjectAltName holds the name or address used (openssl: "
                   "-addext subjectAltName=DNS:HOST,IP:ADDRESS).";
        case PortErrorKind::TlsExpired:
            return "Check the clock of this computer; if it is right, the server needs a new "
                   "certificate.";
        case PortErrorKind::TlsPinMismatch:
            return "Another certificate answers at this address. If the server's certificate was "
                   "renewed, pin the fingerprint shown after checking it on the server "
                   "(openssl x509 -in server.pem -noout -fingerprint -sha256).";
        case PortErrorKind::TlsClientCertificate:
            return settings.certFile.empty()
                       ? "The server accepts only technicians with a certificate: give yours "
                         "with --tls-cert FILE --tls-key FILE, or TlsCert= and TlsKey= in the "
                         "settings file."
                       : "The server does not accept the certificate in " +
                             quoted(settings.certFile) +
                             ": is it issued by the CA the server names (ssl(...,CA=...))?";
        case PortErrorKind::PlainServer:
            return "The server speaks plain RFC 2217: give it an ssl(...) accepter (see the "
                   "README), or, on a network you trust, name it rfc2217://HOST:PORT.";
        case PortErrorKind::TlsServer:
            return "The server may speak TLS: name it rfc2217+tls://HOST:PORT. Or another "
                   "client holds the line.";
        default:
            return {};
    }
}

}  // namespace flashupdate
