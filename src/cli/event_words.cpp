#include "cli/event_words.h"

#include "cli/text_formats.h"
#include "update/protocol.h"
#include "update/texts.h"

namespace flashupdate::cli {

namespace {

using Stage = UpdateResult::Stage;

// What happened to the line, as its kind says it.
std::string whatFailed(std::optional<PortErrorKind> kind, bool network) {
    switch (kind.value_or(PortErrorKind::Port)) {
        case PortErrorKind::Gone:
            return network ? "the connection was reset" : "the device hung up";
        case PortErrorKind::Stalled:
            return network ? "the server took nothing for too long"
                           : "the device took nothing for too long";
        case PortErrorKind::Protocol:
            return "the server broke the protocol";
        case PortErrorKind::Settings:
            return "the line settings were refused";
        case PortErrorKind::NotOpen:
            return "the port was closed";
        case PortErrorKind::Missing:
            return "the device went away";
        case PortErrorKind::TooManyFiles:
            return "the system ran out of open files";
        case PortErrorKind::Port:
        case PortErrorKind::Busy:
        case PortErrorKind::Permission:
        case PortErrorKind::Refused:
        case PortErrorKind::Unreachable:
        case PortErrorKind::TlsSettings:
        case PortErrorKind::TlsKeyExposed:
        case PortErrorKind::TlsUntrusted:
        case PortErrorKind::TlsNameMismatch:
        case PortErrorKind::TlsExpired:
        case PortErrorKind::TlsPinMismatch:
        case PortErrorKind::TlsClientCertificate:
        case PortErrorKind::PlainServer:
        case PortErrorKind::TlsServer:
        // Not a port's kinds: never a port error's.
        case FailureKind::Other:
        case FailureKind::Usage:
        case FailureKind::File:
        case FailureKind::NoAnswer:
        case FailureKind::BadChecksum:
        case FailureKind::Stopped:
            break;
    }
    return network ? "the connection failed" : "the port failed";
}

// Where the run stood: "during record 2 of 3", "before record 2 of 3".
std::string whereItStood(const UpdateResult& run) {
    switch (run.stage) {
        case Stage::BootLoader:
            return "while the boot loader went out";
        case Stage::Erase:
            return "during the erase";
        case Stage::Program: {
            const std::uint64_t records = run.bytesAnnounced / protocol::kRecordBytes;
            const std::uint64_t done = run.bytesSent / protocol::kRecordBytes;
            const std::string ofAll = " of " + std::to_string(records);
            // A record's command opens it, before any of its data has gone.
            if (run.recordOpen) {
                return "during record " + std::to_string(done + 1) + ofAll;
            }
            return done < records ? "before record " + std::to_string(done + 1) + ofAll
                                  : "after record " + std::to_string(done) + ofAll;
        }
        case Stage::Checksum:
            return "while the checksum was asked for";
        case Stage::Checks:
        case Stage::Done:
            break;
    }
    return {};
}

}  // namespace

std::optional<std::string> portFailureText(const UpdateResult& run, bool network) {
    if (run.cause != UpdateResult::Cause::Port) {
        return std::nullopt;
    }
    // The port had opened: the loader began to go out, or the run came further.
    const bool wasOpen = run.stage == Stage::Erase || run.stage == Stage::Program ||
                         run.stage == Stage::Checksum ||
                         (run.stage == Stage::BootLoader && run.loaderIncomplete);
    if (!wasOpen) {
        return std::nullopt;
    }
    return whatFailed(run.portError, network) + " " + whereItStood(run);
}

EventWords wordsOf(const RunEvent& event, const UpdateResult& run, bool network) {
    EventWords words;
    const auto status = [&](const char* caption) {
        words.statuses.push_back(trimmedLines(caption));
        words.lines.push_back(words.statuses.back());
    };
    using Kind = RunEvent::Kind;
    switch (event.kind) {
        case Kind::SendingBootLoader:
            status(texts::kSendingBootLoader);
            break;
        case Kind::StageEntered:
            if (run.stage == Stage::Erase) {
                status(texts::kEraseCommandSent);
            } else if (run.stage == Stage::Program) {
                status(texts::kSendingProgram);
            }
            break;
        case Kind::MemoryErased:
            status(texts::kMemoryErased);
            break;
        case Kind::RequestingCheckSum:
            status(texts::kRequestingCheckSum);
            break;
        case Kind::Failed: {
            const std::optional<std::string> own = portFailureText(run, network);
            words.message = own ? *own : event.text;
            for (const std::string& line : messageLines(trimmedLines(words.message))) {
                words.lines.push_back(line);
            }
            break;
        }
        case Kind::EraseFailed: {
            // The box's last line is the status the window has just set.
            status(texts::kFlashNotUpdated);
            words.message = event.text;
            words.lines.push_back(messageLines(trimmedLines(event.text)).front());
            break;
        }
        case Kind::ChecksumMissing:
            // The box says what the status line says.
            status(texts::kCheckSumNotReceived);
            words.message = event.text;
            break;
        case Kind::Verdict:
            if (run.cause == UpdateResult::Cause::None) {
                status(texts::kDone);
                status(texts::kUpdatedSuccessfully);
            } else {
                // The window shows "DONE" only for the moment before the verdict replaces it.
                status(texts::kNotUpdatedSuccessfully);
                words.message = event.text;
                words.lines.push_back(trimmedLines(event.text));
            }
            break;
        case Kind::BytesSent:
        case Kind::Diagnostic:
            break;
    }
    return words;
}

}  // namespace flashupdate::cli
