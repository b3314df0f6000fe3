#include "cli/report.h"

#include <QFile>

#include <algorithm>
#include <cstdio>

#include "cli/csv.h"
#include "cli/text_formats.h"
#include "update/number_text.h"

namespace flashupdate::cli {

const std::vector<std::string>& resultColumns() {
    static const std::vector<std::string> columns{
        "outcome",      "exit_status",     "attempts",         "started",
        "ended",        "seconds",         "file_checksum",    "instrument_checksum",
        "power_cycle",  "reason",          "device",           "adapter_serial",
        "image_sha256", "bootloader_used", "bootloader_sha256"};
    return columns;
}

bool isResultColumn(std::string_view name) {
    const auto& columns = resultColumns();
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

std::vector<std::string> resultCells(const PortRecord& port) {
    const PortResult& last = port.last;
    const UpdateResult& result = last.result;
    const bool stoppedFirst = port.attempts == 0 && result.cause == UpdateResult::Cause::Stopped;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  std::chrono::duration<double>(last.time - port.started).count());
    const auto sum = [](const std::optional<std::uint32_t>& value) {
        return value ? hexText(*value) : std::string();
    };
    std::string reason = trimmedLines(result.reason);
    std::replace(reason.begin(), reason.end(), '\r', ' ');
    std::erase(reason, '\n');
    return {stoppedFirst ? kNotStartedOutcome : last.outcome,
            std::to_string(last.exitCode),
            std::to_string(port.attempts),
            isoText(port.started),
            isoText(last.time),
            seconds,
            sum(result.fileCheckSum),
            sum(result.deviceCheckSum),
            result.powerCycleNeeded() ? "true" : "false",
            reason.empty() ? last.text : reason,
            last.subject.device,
            last.subject.adapterSerial,
            last.sha256,
            last.subject.bootLoader,
            last.subject.bootLoaderSha256};
}

ReportFile::ReportFile(const std::string& path)
    : m_file(QFile::decodeName(QByteArray::fromStdString(path))) {
    // A report is written whole, never in place.
    m_file.setDirectWriteFallback(false);
    if (!m_file.open(QIODevice::WriteOnly)) {
        m_error = m_file.errorString().toStdString();
    }
}

bool ReportFile::write(const std::vector<std::string>& jobColumns,
                       const std::vector<UpdateTask>& tasks, const std::vector<PortRecord>& ports) {
    if (!m_error.empty()) {
        return false;
    }
    std::vector<std::string> header = jobColumns;
    header.insert(header.end(), resultColumns().begin(), resultColumns().end());
    std::string text = csvRecord(header);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        std::vector<std::string> row = tasks[i].cells;
        row.resize(jobColumns.size());
        const std::vector<std::string> results = resultCells(ports.at(i));
        row.insert(row.end(), results.begin(), results.end());
        text += csvRecord(row);
    }
    const auto size = static_cast<qint64>(text.size());
    if (m_file.write(text.data(), size) != size || !m_file.commit()) {
        m_error = m_file.errorString().toStdString();
        return false;
    }
    return true;
}

}  // namespace flashupdate::cli
