// The window's log: each run with how it ended, and the reasons behind failures that the message
// boxes leave out, so that whoever looks after the instruments can tell afterwards what was
// flashed where and why a port would not open. One line per event, each starting with the local
// time, appended to $XDG_STATE_HOME/flashupdate/flashupdate.log.
//
// Logging never costs a run anything: a log that cannot be written is noted once on standard
// error and otherwise skipped.
#pragma once

#include <QByteArray>
#include <QString>
#include <span>
#include <string>

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
    // As the run opened it; empty when no file was chosen.
    QString imagePath;
    // Of the bytes the run read; empty when it read none.
    QByteArray imageSha256;
    UpdateResult result;
    // What ended the program in the middle of the run ("Exit"); empty when the run ended itself.
    QString endedBy;
};

// The image's path as the log gives it: absolute, with the system's separators, so that the line
// still says which file it was when read elsewhere. Empty for an empty path.
QString loggedImagePath(const std::string& path);

// "Com1 /dev/ttyUSB0 update /home/tech/FW.IMG sha256 ab12...: updated, 32768 of 32768 bytes
// sent, checksum 7F8000 (instrument 7F8000)"; a run that did not update the instrument ends with
// what is left of its memory.
QString runLine(const RunRecord& run);

class RunLog {
public:
    // Writes nothing.
    RunLog() = default;
    explicit RunLog(QString path) : m_path(std::move(path)) {}

    const QString& path() const { return m_path; }

    // Appends text as one line, its line breaks folded, after the local time.
    void append(const QString& text);

private:
    QString m_path;
    bool m_failureNoted = false;
};

}  // namespace flashupdate
