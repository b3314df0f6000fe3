// The window's log: each run with how it ended, and the reasons behind failures that the message
// boxes leave out, so that whoever looks after the instruments can tell afterwards what was
// flashed where and why a port would not open. One line per event, each starting with the local
// time, appended to $XDG_STATE_HOME/flashupdate/flashupdate.log.
//
// File and device names are anybody's bytes, and the log is read with less and cat: nothing in a
// line may steer a terminal, and a name must still say which file it was. Control characters are
// written as plain output writes them ("\x1b", "\n") and bytes that are not UTF-8 as "\xNN".
//
// Logging never costs a run anything: a log that cannot be written is noted once on standard
// error and otherwise skipped.
#pragma once

#include <QByteArray>
#include <QString>
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

// What one run of the update used and how it ended.
struct RunRecord {
    int port = 0;
    // How the command line named the port ("Com2", "/dev/ttyUSB0", "usb:0403:6001"); empty for
    // the window, whose line says "Com<port>".
    std::string portName;
    std::string devicePath;
    // As the run opened it, the system's bytes (loggedImagePath); empty when no file was chosen.
    std::string imagePath;
    // Of the bytes the run read; empty when it read none.
    QByteArray imageSha256;
    UpdateResult result;
    // What ended the program in the middle of the run ("Exit", "SIGINT"); empty when the run
    // ended itself.
    std::string endedBy;
};

// The image's path as the log gives it: absolute, with the system's separators, so that the line
// still says which file it was when read elsewhere. Its bytes stay as they are, UTF-8 or not.
// Empty for an empty path.
std::string loggedImagePath(const std::string& path);

// A message as one log line: its line breaks (a window text's "\r\n", a diagnostic's remedy on an
// indented line of its own) become "; ", and everything else is escaped (escapedText),
// so a line feed inside a quoted name stays "\n".
std::string loggedLine(std::string_view text);

// "Com1 /dev/ttyUSB0 update /home/tech/FW.IMG sha256 ab12...: updated, 32768 of 32768 bytes
// sent, checksum 7F8000 (instrument 7F8000)"; a run that did not update the instrument ends with
// what is left of its memory, one that something ended from outside with "ended by Exit during
// program". The window and the command line write this one shape; only the port's name differs.
std::string runLine(const RunRecord& run);

class RunLog {
public:
    // Writes nothing.
    RunLog() = default;
    explicit RunLog(QString path) : m_path(std::move(path)) {}

    const QString& path() const { return m_path; }

    // Appends text as one line (loggedLine) after the local time.
    void append(std::string_view text);

private:
    QString m_path;
    bool m_failureNoted = false;
};

}  // namespace flashupdate
