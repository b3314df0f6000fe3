// What a line over TLS ("rfc2217+tls://HOST:PORT") checks on our side, without the TLS library:
// the settings a technician gives (a CA file, a pinned fingerprint, a client certificate and its
// key) and the rule a key file must meet before it is used. The server is always verified:
// nothing here can turn that off.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "serial/serial_error.h"

namespace flashupdate {

// From the settings file (TlsCa=, TlsPin=, TlsCert=, TlsKey= under [General]) and the command
// line (--tls-ca, --tls-pin, --tls-cert, --tls-key), which wins field by field. Empty is unset.
struct TlsSettings {
    // The CAs a server's certificate must be issued by, instead of the system's.
    std::string caFile;
    // "sha256:HEX": the one server certificate accepted, whoever issued it.
    std::string pin;
    // Our certificate and its private key, for a server that asks for one.
    std::string certFile;
    std::string keyFile;

    // This with every field other sets replaced by other's.
    TlsSettings overriddenBy(const TlsSettings& other) const;
    bool operator==(const TlsSettings&) const = default;
};

// The 32 bytes of a pin as 64 lower-case hex digits, from "sha256:HEX" where HEX may be in
// either case and its bytes may be separated by colons (as openssl prints them); nullopt for
// anything else.
std::optional<std::string> parsePin(const std::string& pin);

// "sha256:" and the hex digits, as a technician can give it back in a pin.
std::string pinText(const std::string& hexDigest);

// Why a private key file may not be used, or nullopt when it may: like ssh, a key that anyone
// but its owner can read, or write, is refused.
std::optional<SerialError> keyFileRefusal(const std::filesystem::path& keyFile);
// The rule itself, for permissions read elsewhere.
bool keyPermissionsExposed(std::filesystem::perms permissions);

// Checks settings before a connection is tried: a certificate without its key or the other way
// round, a malformed pin, an exposed key. nullopt when they can be used.
std::optional<SerialError> checkTlsSettings(const TlsSettings& settings);

}  // namespace flashupdate
