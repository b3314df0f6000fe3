// --report: a CSV table (RFC 4180, UTF-8) of what became of each instrument, one row each, that a
// spreadsheet, Python's csv module or a service department's system reads. The row holds the
// job's own columns (for a call without a job file: port, image, label, bootloader), then the
// result columns below. The report appears whole or not at all: it is written beside its place
// and renamed into it once complete.
#pragma once

#include <QSaveFile>
#include <string>
#include <string_view>
#include <vector>

#include "cli/running.h"

namespace flashupdate::cli {

// A report row's outcome for an instrument that was updated; others give why not, "stopped",
// or "not started" for one a stop came before.
inline constexpr const char* kUpdatedOutcome = "updated";
inline constexpr const char* kNotStartedOutcome = "not started";

// outcome, exit_status, attempts, started, ended, seconds, file_checksum, instrument_checksum,
// power_cycle, reason, device, adapter_serial, image_sha256, bootloader_used, bootloader_sha256.
const std::vector<std::string>& resultColumns();
bool isResultColumn(std::string_view name);

// The result cells of one instrument, in the order of resultColumns().
std::vector<std::string> resultCells(const PortRecord& port);

class ReportFile {
public:
    // Opens a new file beside path, so that a report that cannot be written is known before
    // any instrument is touched.
    explicit ReportFile(const std::string& path);

    const std::string& error() const { return m_error; }

    // Writes the header and a row per task, then puts the file in its place. False, with
    // error(), when that failed; the place then holds what it held before.
    bool write(const std::vector<std::string>& jobColumns, const std::vector<UpdateTask>& tasks,
               const std::vector<PortRecord>& ports);

private:
    QSaveFile m_file;
    std::string m_error;
};

}  // namespace flashupdate::cli
