// The roots the drive list offers. Windows has drive letters; Linux has one tree, so its roots are
// the mount points of the file systems that hold the operator's files, without the kernel's own
// pseudo file systems, which hold no program images and would only bury the useful entries.
#pragma once

#include <QString>
#include <QStringList>

namespace flashupdate {

// Read from the system each time, so that a medium mounted while the program runs appears.
// Never empty.
QStringList fileSystemRoots();

// The mount points of a table in the format of /proc/self/mounts, "/" first, then in name order,
// each once.
QStringList mountPointsFromTable(const QByteArray& table);

// The root that holds path: the longest of roots that is path itself or one of its ancestors.
// Empty when none does.
QString rootOf(const QString& path, const QStringList& roots);

}  // namespace flashupdate
