#include "update/update_result.h"

namespace flashupdate {

std::optional<FailureKind> UpdateResult::failure() const {
    if (updated()) {
        return std::nullopt;
    }
    switch (cause) {
        case Cause::File:
            return FailureKind::File;
        case Cause::Port:
            return portError.value_or(FailureKind::Port);
        case Cause::NoAnswer:
            return FailureKind::NoAnswer;
        case Cause::BadChecksum:
            return FailureKind::BadChecksum;
        case Cause::Stopped:
            return FailureKind::Stopped;
        case Cause::None:
            break;
    }
    return FailureKind::Other;
}

const char* nameOf(UpdateResult::Stage stage) {
    switch (stage) {
        case UpdateResult::Stage::Checks:
            return "checks";
        case UpdateResult::Stage::BootLoader:
            return "boot-loader";
        case UpdateResult::Stage::Erase:
            return "erase";
        case UpdateResult::Stage::Program:
            return "program";
        case UpdateResult::Stage::Checksum:
            return "checksum";
        case UpdateResult::Stage::Done:
            return "done";
    }
    return "?";
}

const char* nameOf(UpdateResult::Cause cause) {
    switch (cause) {
        case UpdateResult::Cause::None:
            return "none";
        case UpdateResult::Cause::File:
            return "file";
        case UpdateResult::Cause::Port:
            return "port";
        case UpdateResult::Cause::NoAnswer:
            return "no-answer";
        case UpdateResult::Cause::BadChecksum:
            return "bad-checksum";
        case UpdateResult::Cause::Stopped:
            return "stopped";
    }
    return "?";
}

const char* nameOf(UpdateResult::Erased erased) {
    switch (erased) {
        case UpdateResult::Erased::No:
            return "no";
        case UpdateResult::Erased::Maybe:
            return "maybe";
        case UpdateResult::Erased::Yes:
            return "yes";
    }
    return "?";
}

const char* recoveryText(const UpdateResult& result) {
    if (result.recordOpen) {
        return "the instrument is left in the middle of a record: switch it off and on again, "
               "then update it again before use";
    }
    if (result.loaderIncomplete) {
        return "the instrument is left with part of a boot loader: switch it off and on again "
               "before the next update";
    }
    if (result.sessionOpen) {
        return "the instrument may be left in the middle of a record or of its update session: "
               "switch it off and on again, then update it again before use";
    }
    return memoryText(result.erased);
}

const char* memoryText(UpdateResult::Erased erased) {
    switch (erased) {
        case UpdateResult::Erased::No:
            break;
        case UpdateResult::Erased::Maybe:
            return "the instrument may be erased: update it again before use";
        case UpdateResult::Erased::Yes:
            return "the instrument is left erased: update it again before use";
    }
    return "the instrument is not erased";
}

}  // namespace flashupdate
