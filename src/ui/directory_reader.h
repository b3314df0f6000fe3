// Reads one directory for the file-selection lists: its visible subdirectories and its ordinary
// files, each sorted the way an operator scans a list. A directory that cannot be listed raises
// DirectoryReadError with the system's reason, so that a list can stay where it was.
#pragma once

#include <QString>
#include <QStringList>
#include <stdexcept>
#include <string>

namespace flashupdate {

class DirectoryReadError : public std::runtime_error {
public:
    DirectoryReadError(const QString& path, const std::string& reason);
    const QString& path() const { return m_path; }
    // The system's words for what went wrong.
    const QString& reason() const { return m_reason; }

private:
    QString m_path;
    QString m_reason;
};

struct DirectoryEntries {
    // Names only, without the directory. Hidden entries are left out of both.
    QStringList directories;
    // Ordinary files: no directories, devices, sockets or dangling links.
    QStringList files;
};

DirectoryEntries readDirectory(const QString& path);

// Letter case ignored, ties broken by case, so that the order never depends on the file system.
void sortForDisplay(QStringList& names);

}  // namespace flashupdate
