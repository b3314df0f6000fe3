#include "cli/job.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "cli/csv.h"
#include "cli/report.h"
#include "update/image_file.h"
#include "update/protocol.h"
#include "update/run_files.h"

namespace flashupdate::cli {

namespace fs = std::filesystem;

namespace {

// A larger job is not a rack but a mistake, and would be read whole.
constexpr std::uintmax_t kMaxJobBytes = 16 * 1024 * 1024;

constexpr const char* kPortColumn = "port";
constexpr const char* kImageColumn = "image";
constexpr const char* kLabelColumn = "label";
constexpr const char* kBootLoaderColumn = "bootloader";
constexpr const char* kOutcomeColumn = "outcome";

// A header as a spreadsheet user may write it: "Port", " image ".
std::string columnKey(const std::string& name) {
    const std::size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    std::string key = name.substr(first, name.find_last_not_of(' ') + 1 - first);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

// "A", "B", ... "Z", "AA": the column as a spreadsheet names it.
std::string columnLetters(std::size_t index) {
    std::string letters;
    for (std::size_t n = index + 1; n > 0; n = (n - 1) / 26) {
        letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
    }
    return letters;
}

// A path from the table: relative ones from the table's folder.
fs::path tablePath(const fs::path& folder, const std::string& cell) {
    const fs::path path = pathFromText(cell);
    return (path.is_absolute() ? path : folder / path).lexically_normal();
}

// The system's words, without the path the message already names.
std::string reasonOnly(const fs::path& file, const std::string& reason) {
    const std::string named = textFromPath(file) + ": ";
    return reason.starts_with(named) ? reason.substr(named.size()) : reason;
}

}  // namespace

std::string tooLargeText(std::uintmax_t length) {
    return std::to_string(length) + " bytes, more than the " +
           std::to_string(protocol::kMaxImageBytes) +
           " the instrument takes: " + std::to_string(protocol::kMaxRecords) + " records of " +
           std::to_string(protocol::kRecordBytes) + " bytes";
}

JobRead readJobFile(const fs::path& file) {
    JobRead read;
    const std::string name = textFromPath(file);
    std::vector<unsigned char> bytes;
    try {
        if (fileLength(file) > kMaxJobBytes) {
            read.error = name + ": larger than a job file can be";
            return read;
        }
        bytes = readWholeFile(file, kMaxJobBytes);
    } catch (const FileError& error) {
        read.error = error.what();
        return read;
    }
    const CsvTable table =
        parseCsv(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!table.error.empty()) {
        read.error = name + ": " + table.error;
        return read;
    }
    if (table.records.empty()) {
        read.error = name + ": no header row";
        return read;
    }
    JobTable& job = read.table;
    std::error_code error;
    job.folder = fs::absolute(file, error).parent_path();
    // Which of the table's columns are the job's own, and where an earlier run's outcome is.
    const CsvRecord& header = table.records.front();
    std::vector<std::size_t> own;
    std::optional<std::size_t> outcome;
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string key = columnKey(header.fields[i]);
        const std::string where =
            name + ": row " + std::to_string(header.row) + ", column " + columnLetters(i);
        if (key.empty()) {
            read.error = where + ": a column without a name";
            return read;
        }
        if (const auto earlier = seen.find(key); earlier != seen.end()) {
            read.error = where + ": the column " + key + " again (as in column " +
                         columnLetters(earlier->second) + ")";
            return read;
        }
        seen.emplace(key, i);
        if (key == kOutcomeColumn) {
            outcome = i;
        }
        if (isResultColumn(key)) {
            continue;
        }
        own.push_back(i);
        const bool known = key == kPortColumn || key == kImageColumn || key == kLabelColumn ||
                           key == kBootLoaderColumn;
        job.columns.push_back(known ? key : header.fields[i]);
    }
    for (const char* required : {kPortColumn, kImageColumn}) {
        if (!seen.contains(required)) {
            read.error = name + ": row 1: no column named " + required;
            return read;
        }
    }
    job.isReport = outcome.has_value();
    for (std::size_t r = 1; r < table.records.size(); ++r) {
        const CsvRecord& record = table.records[r];
        if (record.fields.size() > header.fields.size()) {
            read.error = name + ": row " + std::to_string(record.row) + " has " +
                         std::to_string(record.fields.size()) + " fields, the header " +
                         std::to_string(header.fields.size());
            return read;
        }
        // A spreadsheet may leave the empty cells at the end of a row out.
        const auto cell = [&record](std::size_t i) {
            return i < record.fields.size() ? unguardedField(record.fields[i]) : std::string();
        };
        JobTable::Row row;
        row.row = record.row;
        for (const std::size_t i : own) {
            row.cells.push_back(cell(i));
        }
        if (outcome) {
            row.outcome = cell(*outcome);
        }
        job.rows.push_back(std::move(row));
    }
    return read;
}

JobTable rowsNotUpdated(JobTable report) {
    std::erase_if(report.rows,
                  [](const JobTable::Row& row) { return row.outcome == kUpdatedOutcome; });
    return report;
}

JobPlan planJob(const JobTable& job, const std::string& fileName, const PortMap& map,
                const std::vector<SerialDeviceInfo>& devices,
                const BootLoaderChoice& defaultBootLoader, bool allowEmpty) {
    JobPlan plan;
    const auto column = [&job](const char* name) -> std::optional<std::size_t> {
        const auto found = std::find(job.columns.begin(), job.columns.end(), name);
        return found == job.columns.end() ? std::nullopt
                                          : std::optional<std::size_t>(static_cast<std::size_t>(
                                                found - job.columns.begin()));
    };
    const std::size_t portColumn = *column(kPortColumn);
    const std::size_t imageColumn = *column(kImageColumn);
    const std::optional<std::size_t> labelColumn = column(kLabelColumn);
    const std::optional<std::size_t> bootLoaderColumn = column(kBootLoaderColumn);
    // Where each device was named first, for the same device under another name.
    std::map<std::string, std::size_t> devicesNamed;
    for (const JobTable::Row& row : job.rows) {
        const auto problem = [&](std::size_t index, const std::string& text) {
            plan.problems.push_back(fileName + ": row " + std::to_string(row.row) + ", column " +
                                    columnLetters(index) + " (" + job.columns.at(index) +
                                    "): " + text);
        };
        UpdateTask task;
        task.cells = row.cells;
        bool usable = true;

        std::string port = row.cells.at(portColumn);
        if (port.empty()) {
            problem(portColumn, "no port");
            usable = false;
        } else {
            // A device path of the table's, like its files, from the table's folder.
            if (port.find('/') != std::string::npos && !port.starts_with('/') &&
                !isNetworkPortName(port)) {
                port = textFromPath(tablePath(job.folder, port));
                task.cells.at(portColumn) = port;
            }
            ResolvedTarget resolved = resolveTarget(port, map, devices);
            if (!resolved.error.empty()) {
                problem(portColumn, resolved.error);
                usable = false;
            } else if (const auto earlier = devicesNamed.find(resolved.target.device);
                       earlier != devicesNamed.end()) {
                problem(portColumn, "the device of row " + std::to_string(earlier->second) +
                                        " again (" + resolved.target.device + ")");
                usable = false;
            } else {
                devicesNamed.emplace(resolved.target.device, row.row);
                task.target = std::move(resolved.target);
            }
        }

        const std::string& imageCell = row.cells.at(imageColumn);
        if (imageCell.empty()) {
            problem(imageColumn, "no image");
            usable = false;
        } else {
            task.image = tablePath(job.folder, imageCell);
            task.cells.at(imageColumn) = textFromPath(task.image);
            const std::string image = textFromPath(task.image);
            const ImageCheck check = readImage(task.image);
            switch (check.problem) {
                case ImageCheck::Problem::None:
                    if (check.bytes.empty() && !allowEmpty) {
                        problem(imageColumn, image +
                                                 " is empty: an update would erase the instrument "
                                                 "and program nothing (--allow-empty)");
                        usable = false;
                    }
                    break;
                case ImageCheck::Problem::NoLength:
                case ImageCheck::Problem::Unreadable:
                    problem(imageColumn,
                            "cannot read " + image + ": " + reasonOnly(task.image, check.reason));
                    usable = false;
                    break;
                case ImageCheck::Problem::TooLarge: {
                    std::error_code error;
                    problem(imageColumn, "too large: " + image + ", " +
                                             tooLargeText(fs::file_size(task.image, error)));
                    usable = false;
                    break;
                }
            }
        }

        task.bootLoader = defaultBootLoader;
        if (bootLoaderColumn && !row.cells.at(*bootLoaderColumn).empty()) {
            const fs::path bootLoader = tablePath(job.folder, row.cells.at(*bootLoaderColumn));
            const std::string named = textFromPath(bootLoader);
            task.cells.at(*bootLoaderColumn) = named;
            task.bootLoader.named = bootLoader;
            const BootLoaderCheck check = openBootLoader(bootLoader);
            switch (check.problem) {
                case BootLoaderCheck::Problem::None:
                    break;
                case BootLoaderCheck::Problem::Missing:
                    problem(*bootLoaderColumn, "no ordinary, visible file " + named);
                    usable = false;
                    break;
                case BootLoaderCheck::Problem::Empty:
                    problem(*bootLoaderColumn, named + " is empty");
                    usable = false;
                    break;
                case BootLoaderCheck::Problem::Unreadable:
                    problem(*bootLoaderColumn,
                            "cannot open " + named + ": " + reasonOnly(bootLoader, check.reason));
                    usable = false;
                    break;
            }
        }
        if (labelColumn) {
            task.label = row.cells.at(*labelColumn);
        }
        if (usable) {
            plan.tasks.push_back(std::move(task));
        }
    }
    return plan;
}

}  // namespace flashupdate::cli
