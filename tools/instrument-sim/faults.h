#pragma once

#include <string>
#include <string_view>

namespace instrument_sim {

// Ways the instrument can misbehave, so that every error path of the tool can be
// driven on purpose. One erase fault and one checksum fault may be combined.
enum class EraseFault { none, silent, wrong, lower, second };
enum class ChecksumFault {
    none,
    bad,
    bad_once,
    short_answer,
    split,
    packets,
    high,
    long_answer,
    silent,
    hang_up
};

struct Faults {
    EraseFault erase = EraseFault::none;
    ChecksumFault checksum = ChecksumFault::none;
};

// Adds the fault called `name`. Returns false with `error` set when the name is
// unknown or clashes with a fault already chosen for the same answer.
bool add_fault(std::string_view name, Faults& faults, std::string& error);

// One line per fault name with a short explanation, for --help.
std::string fault_help();

}  // namespace instrument_sim
