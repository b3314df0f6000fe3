// The log of runs, kept as a service record: one line per run with everything a service
// department files (what was flashed where, by whom, with which program, how it ended), and the
// reasons behind failures that the message boxes leave out, each tied to its run by the run's
// id. The window and the command line write the same lines, appended to
// $XDG_STATE_HOME/flashupdate/flashupdate.log.
//
// Every line is logfmt: key=value pairs, a value in double quotes where it is empty or holds a
// blank, "=", a quote or a backslash (a quote and a backslash inside are written \" and \\).
// File and device names are anybody's bytes, and the log is read with less and cat: nothing in a
// line may steer a terminal, and a name must still say which file it was. Control characters are
// written as plain output writes them ("\x1b", "\n") and bytes that are not UTF-8 as "\xNN".
//
// Past 1 MiB the log is renamed flashupdate.log.1 (the older ones .2 and .3, the oldest dropped)
// and a new one begun. Logging never costs a run anything: a line goes out through an output
// sink and never waits for the file, nor for another program's rotation; a log that cannot be
// written is reported once on standard error and otherwise skipped. Any thread may write.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "update/update_result.h"

class QProcessEnvironment;

namespace flashupdate {

// $XDG_STATE_HOME/flashupdate/flashupdate.log, under ~/.local/state when XDG_STATE_HOME is unset
// or not absolute (as the XDG base directories ask); the local application data directory on
// Windows.
QString runLogPath(const QProcessEnvironment& environment);
QString runLogPath();

// Lower-case hex, as sha256sum prints it.
QByteArray sha256Hex(std::span<const unsigned char> bytes);
// Of a whole file; empty when it cannot be read.
QByteArray fileSha256Hex(const std::string& path);

// A new run's id: its start in UTC and twelve random hex digits, "20261209T014512Z-3fa9c1d2e4b7".
std::string newRunId();

// A short name for how a run ended: "updated", "file-error", "port-error", "no-answer",
// "bad-checksum", "stopped", "failed".
const char* outcomeName(const UpdateResult& result);

// What one run of the update used and how it ended.
struct RunRecord {
    std::string runId;
    // "window" or "cli".
    std::string frontEnd;
    // The port as the operator gave it ("Com2", "./com2", "usb:0403:6001"), the device that
    // opened for it, and the USB adapter's serial number where the system knows it.
    std::string port;
    std::string device;
    std::string adapterSerial;
    // The instrument's label from a job file; empty without one.
    std::string label;
    // As the run opened it, the system's bytes (loggedImagePath); empty when no file was chosen.
    std::string imagePath;
    // Of the bytes the run read; none when it read none.
    std::optional<std::uint64_t> imageBytes;
    QByteArray imageSha256;
    std::string bootLoaderPath;
    QByteArray bootLoaderSha256;
    // Which attempt this was, of how many the port may have.
    int attempt = 1;
    int attempts = 1;
    double seconds = 0;
    UpdateResult result;
    // What ended the program in the middle of the run ("Exit", "SIGINT"); empty when the run
    // ended itself.
    std::string endedBy;
};

// The image's path as the log gives it: absolute, with the system's separators, so that the line
// still says which file it was when read elsewhere. Its bytes stay as they are, UTF-8 or not.
// Empty for an empty path.
std::string loggedImagePath(const std::string& path);

// A message as one log value: its line breaks (a window text's "\r\n", a diagnostic's remedy on
// an indented line of its own) become "; ", and the blanks at the ends of its lines go. Any other
// line feed belongs to a name, and logfmtPair escapes it with the rest.
std::string loggedLine(std::string_view text);

// One logfmt pair, the value escaped as above and quoted where it must be.
std::string logfmtPair(std::string_view key, std::string_view value);

// The run's fields after time=: "run=... event=run program=flashupdate-cli version=2.03 host=...
// user=... frontend=cli port=... device=... adapter_serial=... label=... image=... image_bytes=...
// image_sha256=... bootloader=... bootloader_sha256=... attempt=1 attempts=1 seconds=29.512
// outcome=updated stage=done erased=yes bytes_sent=16384 bytes_announced=16384
// file_checksum=3FC000 instrument_checksum=3FC000 power_cycle=false ended_by="" reason=...".
// The window and the command line write this one shape.
std::string runLine(const RunRecord& run, std::string_view program);

class RunLog {
public:
    static constexpr std::uint64_t kRotateBytes = 1024 * 1024;
    static constexpr int kOldLogs = 3;

    // Writes nothing.
    RunLog();
    // program: the name its lines and its own failure carry ("flashupdate", "flashupdate-cli").
    RunLog(QString path, std::string program);
    ~RunLog();
    RunLog(RunLog&&) noexcept;
    RunLog& operator=(RunLog&&) noexcept;

    const QString& path() const { return m_path; }

    void record(const RunRecord& run);
    // A reason behind a failure, tied to its run and port where it has them (empty otherwise).
    void diagnostic(std::string_view runId, std::string_view port, std::string_view text);
    // Whether a line could not be written.
    bool failed() const;

private:
    struct Output;

    // After "time=...".
    void appendFields(const std::string& fields);

    QString m_path;
    std::string m_program = "flashupdate";
    std::unique_ptr<Output> m_output;
};

}  // namespace flashupdate
