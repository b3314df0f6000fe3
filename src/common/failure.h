// How anything the tool does can fail, as decisions need it. The exit status of a call, the
// names in the log, the JSON and the report, the remedy a technician is given, and whether another
// attempt may help all follow from the kind, here and nowhere else, never from the words of a
// message; the words are for people.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace flashupdate {

enum class FailureKind {
    Other,
    // The call: options, a job file or a report that cannot be used as given.
    Usage,
    // An image or boot loader missing, unreadable, empty or too large.
    File,
    // The port.
    Port,          // the port failed in no way named below
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
    // The instrument.
    NoAnswer,     // no answer, or not the one expected, within its reply window
    BadChecksum,  // its sum of the data differs from ours
    // The operator (Ctrl-C, a signal, Exit).
    Stopped,
};

// The exit statuses of flashupdate-cli.
enum ExitStatus : int {
    kUpdated = 0,
    kOtherFailure = 1,
    kUsageError = 2,
    kFileError = 3,
    kPortError = 4,
    kNoAnswer = 5,
    kBadChecksum = 6,
    kStopped = 130,  // as a shell reports a program ended by Ctrl-C; 128 + the signal's number
};

// The kind's own name in logs and JSON: "other", "usage", "file", "not-open", "settings",
// "missing", "busy", "permission", "too-many-files", "gone", "refused", "unreachable", "protocol",
// "stalled", "tls-settings", "tls-key-exposed", "tls-untrusted", "tls-name-mismatch",
// "tls-expired", "tls-pin-mismatch", "tls-client-certificate", "plain-server", "tls-server",
// "no-answer", "bad-checksum", "stopped".
const char* nameOf(FailureKind kind);
// Every kind of the port (from Port to TlsServer).
bool isPortFailure(FailureKind kind);
// The exit status of a call that ended so (kStopped for a stop; the signal's own is the caller's).
int exitStatusOf(FailureKind kind);
// How an update that ended so is named in the log, the JSON and the report: "usage-error",
// "file-error", "port-error", "no-answer", "bad-checksum", "stopped", "failed"; "updated" for none.
const char* outcomeNameOf(std::optional<FailureKind> kind);

// What the medium of a failed port knows that a remedy names: a transport gathers these facts,
// remedyOf() alone turns them into advice, so a new medium brings facts, not sentences.
struct FailureFacts {
    enum class Medium { Unknown, Device, Server };
    // Who may open a device, as the system tells it.
    struct Access {
        std::string owner;
        std::string group;
        bool groupIsRoot = false;
        unsigned mode = 0;  // the permission bits, as ls -l shows them
        bool inGroup = false;
    };

    Medium medium = Medium::Unknown;
    // The device's path.
    std::string device;
    // Read for a device this account may not open; nullopt where the system does not say.
    std::optional<Access> access;
    // The processes that hold a busy device open, as far as the system lets us see them.
    std::string holders;
    // The files given for a line over TLS; empty where none was given.
    std::string tlsCaFile;
    std::string tlsCertFile;
    std::string tlsKeyFile;
};

// What a technician can do about a port that failed so, in one or two sentences; empty where
// nothing is known. Joining a device's group is advised only where it would open the device: the
// group may read and write it, is not root's, and the account is not in it yet.
std::string remedyOf(FailureKind kind, const FailureFacts& facts);

// A failure with its kind, in words for whoever debugs it.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& what, FailureKind kind = FailureKind::Other)
        : std::runtime_error(what), m_kind(kind) {}
    FailureKind kind() const { return m_kind; }

private:
    FailureKind m_kind;
};

}  // namespace flashupdate
