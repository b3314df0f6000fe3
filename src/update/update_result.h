// How a run of the update procedure ended, for front ends that act on it (an exit status, a log,
// a JSON line) without reading back the texts shown to the operator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/serial_error.h"

namespace flashupdate {

struct UpdateResult {
    // The part of the procedure the run had reached.
    enum class Stage { Checks, BootLoader, Erase, Program, Checksum, Done };
    enum class Cause { None, File, Port, NoAnswer, BadChecksum, Stopped };
    // Maybe: the erase command went out but its answer was never read.
    enum class Erased { No, Maybe, Yes };

    Stage stage = Stage::Checks;
    Cause cause = Cause::None;
    Erased erased = Erased::No;
    // Data bytes of the records the image makes, and those handed to the line.
    std::uint64_t bytesAnnounced = 0;
    std::uint64_t bytesSent = 0;
    // The exact sum of the data bytes sent, once the transfer has ended; the instrument's sum,
    // once its answer has been read. The window shows both in hexadecimal (hexText).
    std::optional<std::uint32_t> fileCheckSum;
    std::optional<std::uint32_t> deviceCheckSum;
    // How the port failed, when a port error ended the run; each front end adds its own advice.
    std::optional<PortErrorKind> portError;
    // What the operator was told, and the system's reason behind it where there is one.
    std::string reason;
    // The image as the run named it; empty when no file was chosen.
    std::string imagePath;
    // A record was begun and not finished: the instrument waits for the rest of it and ignores
    // a new boot loader until it has been switched off and on.
    bool recordOpen = false;
    // The checksum request went unanswered, so the session was never finished ("X" did not go
    // out): the instrument still waits in it, perhaps in the middle of a record (a network hides
    // how much reached it), and ignores a new boot loader until it has been switched off and on.
    bool sessionOpen = false;

    // The boot loader began to go out and had not all left the line: the instrument waits for
    // the rest of it, and would take the next update's boot loader as that rest.
    bool loaderIncomplete = false;

    // Only switching the instrument off and on lets the next update reach it.
    bool powerCycleNeeded() const { return recordOpen || sessionOpen || loaderIncomplete; }
    bool updated() const { return stage == Stage::Done && cause == Cause::None; }
    // How the run failed, as one kind: the port's own kind for a port error; none once updated.
    std::optional<FailureKind> failure() const;
};

// Names for logs and JSON: "checks", "boot-loader", "erase", "program", "checksum", "done";
// "none", "file", "port", "no-answer", "bad-checksum", "stopped"; "no", "maybe", "yes".
const char* nameOf(UpdateResult::Stage stage);
const char* nameOf(UpdateResult::Cause cause);
const char* nameOf(UpdateResult::Erased erased);

// What the operator must know of the instrument's memory after a run that did not update it:
// "the instrument is not erased", "the instrument may be erased: update it again before use"
// (the erase command went out, its answer was never read), "the instrument is left erased:
// update it again before use".
const char* memoryText(UpdateResult::Erased erased);
// The same, unless the run ended in the middle of a record or of the session: then the instrument
// must be switched off and on before the next update can reach it.
const char* recoveryText(const UpdateResult& result);

}  // namespace flashupdate
