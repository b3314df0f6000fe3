#pragma once

#include <string>

namespace instrument_sim {

// Writes SAMPLE.IMG, a program image of most of one record (about half a minute on the
// line), and BOOTLOAD.IMG, made-up bytes that only this simulator takes for a boot
// loader, into `directory`: the same bytes every time, so a first update always shows
// the same checksum. Replaces nothing: if either file exists, neither is written.
// Prints each path written; returns the exit status (0, or 1 with the reason on stderr).
int write_samples(const std::string& directory, const std::string& program);

}  // namespace instrument_sim
