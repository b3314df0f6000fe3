#include "faults.h"

#include <array>

namespace instrument_sim {

namespace {

struct FaultName {
    std::string_view name;
    EraseFault erase;
    ChecksumFault checksum;
    std::string_view help;
};

constexpr std::array kFaults{
    FaultName{"erase-silent", EraseFault::silent, ChecksumFault::none, "never answer \"E\""},
    FaultName{"erase-wrong", EraseFault::wrong, ChecksumFault::none, "answer \"E\" with 0x3F"},
    FaultName{"erase-lower", EraseFault::lower, ChecksumFault::none,
              "answer \"E\" with a lower-case \"e\""},
    FaultName{"erase-second", EraseFault::second, ChecksumFault::none,
              "ignore the first \"E\" of a session"},
    FaultName{"bad-checksum", EraseFault::none, ChecksumFault::bad,
              "answer \"C\" with the sum plus 1"},
    FaultName{"bad-checksum-once", EraseFault::none, ChecksumFault::bad_once,
              "answer the first \"C\" with the sum plus 1, later ones rightly"},
    FaultName{"checksum-short", EraseFault::none, ChecksumFault::short_answer,
              "answer \"C\" with the first 3 bytes only"},
    FaultName{"checksum-split", EraseFault::none, ChecksumFault::split,
              "answer \"C\" in two halves 400 ms apart"},
    FaultName{"checksum-packets", EraseFault::none, ChecksumFault::packets,
              "answer \"C\" in two parts 16 ms apart (1 byte, then 3), as a USB adapter may "
              "deliver it"},
    FaultName{"checksum-high", EraseFault::none, ChecksumFault::high,
              "answer \"C\" with 80 00 00 00"},
    FaultName{"checksum-long", EraseFault::none, ChecksumFault::long_answer,
              "answer \"C\" with 2 extra bytes 00 00"},
    FaultName{"checksum-silent", EraseFault::none, ChecksumFault::silent, "never answer \"C\""},
    FaultName{"hangup-after-checksum", EraseFault::none, ChecksumFault::hang_up,
              "restart once the session is over: hang up and end on \"X\""},
};

}  // namespace

bool add_fault(std::string_view name, Faults& faults, std::string& error) {
    for (const auto& fault : kFaults) {
        if (fault.name != name) {
            continue;
        }
        if (fault.erase != EraseFault::none) {
            if (faults.erase != EraseFault::none && faults.erase != fault.erase) {
                error = "only one erase fault at a time";
                return false;
            }
            faults.erase = fault.erase;
        } else {
            if (faults.checksum != ChecksumFault::none && faults.checksum != fault.checksum) {
                error = "only one checksum fault at a time";
                return false;
            }
            faults.checksum = fault.checksum;
        }
        return true;
    }
    error = "unknown fault '" + std::string(name) + "'";
    return false;
}

std::string fault_help() {
    std::string text;
    for (const auto& fault : kFaults) {
        text += "    ";
        text += fault.name;
        text.append(fault.name.size() < 22 ? 22 - fault.name.size() : 1, ' ');
        text += fault.help;
        text += '\n';
    }
    return text;
}

}  // namespace instrument_sim
