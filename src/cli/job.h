// Job files: a CSV table of instruments, one a row, each with its own port and image, for a rack
// of instruments of several models and versions. Columns "port" and "image" are required,
// "label" and "bootloader" optional; any other column (a serial number, a work order, notes) is
// kept as it stands and carried into the report. A report is a job file too: its result columns
// are the earlier run's, and --only-failed takes the rows whose outcome was not "updated".
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/running.h"

namespace flashupdate::cli {

struct JobTable {
    // Relative paths in the table are taken from here: the table's own folder.
    std::filesystem::path folder;
    // The table's own columns, in its order; result columns of an earlier run left out.
    std::vector<std::string> columns;
    struct Row {
        std::size_t row = 0;             // as a spreadsheet numbers it: the header is row 1
        std::vector<std::string> cells;  // one per column above
        std::string outcome;             // the earlier run's, when the table is a report
    };
    std::vector<Row> rows;
    // The table has an outcome column: it is a report.
    bool isReport = false;
};

struct JobRead {
    JobTable table;
    std::string error;  // "FILE: row 3: ..."; empty when the table was read
};

JobRead readJobFile(const std::filesystem::path& file);

// The rows of a report whose instrument was not updated, for --only-failed.
JobTable rowsNotUpdated(JobTable report);

struct JobPlan {
    std::vector<UpdateTask> tasks;
    // Every problem found, each "FILE: row 3, column B (image): ..."; nothing may be sent
    // unless this is empty.
    std::vector<std::string> problems;
};

// Checks every row before any port is touched, and makes the tasks: an empty port, a port name
// that names no device, the same device under any name in two rows, an image that is missing,
// unreadable, empty (unless allowEmpty) or too large, and a named boot loader that cannot be
// used. A row without a boot loader of its own takes defaultBootLoader. The tasks' cells are the
// row's, with relative paths written from the root, so that their report runs from anywhere.
JobPlan planJob(const JobTable& job, const std::string& fileName, const PortMap& map,
                const std::vector<SerialDeviceInfo>& devices,
                const BootLoaderChoice& defaultBootLoader, bool allowEmpty);

// Why an image of this length cannot be sent: "400000 bytes, more than the 393216 the instrument
// takes: 24 records of 16384 bytes".
std::string tooLargeText(std::uintmax_t length);

}  // namespace flashupdate::cli
