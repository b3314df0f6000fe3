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

}  // namespace flashupdate
