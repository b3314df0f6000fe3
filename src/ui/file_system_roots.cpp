#include "ui/file_system_roots.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStorageInfo>
#include <algorithm>

#include "ui/directory_reader.h"

namespace flashupdate {

namespace {

// Kernel interfaces and automounter placeholders rather than storage.
bool isPseudoFileSystem(const QByteArray& type) {
    static const QList<QByteArray> kTypes = {
        "autofs", "binfmt_misc", "bpf",        "cgroup",     "cgroup2",   "configfs", "debugfs",
        "devpts", "devtmpfs",    "efivarfs",   "fusectl",    "hugetlbfs", "mqueue",   "nsfs",
        "proc",   "pstore",      "rpc_pipefs", "securityfs", "selinuxfs", "sysfs",    "tracefs",
    };
    return kTypes.contains(type);
}

// Where the system keeps its run-time state, devices and read-only snap images: tmpfs and
// friends mounted there are never the home of a program image.
bool isSystemArea(const QString& mountPoint) {
    static const QStringList kAreas = {"/proc", "/sys", "/dev", "/run", "/snap"};
    return std::any_of(kAreas.begin(), kAreas.end(), [&](const QString& area) {
        return mountPoint == area || mountPoint.startsWith(area + QLatin1Char('/'));
    });
}

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// The table writes blanks, tabs, newlines and backslashes in names as three octal digits.
QByteArray unescapeMountPoint(const QByteArray& field) {
    QByteArray name;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            name.append(static_cast<char>(field.mid(i + 1, 3).toInt(nullptr, 8)));
            i += 3;
            continue;
        }
        name.append(field[i]);
    }
    return name;
}

QString withTrailingSlash(const QString& path) {
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

}  // namespace

QStringList mountPointsFromTable(const QByteArray& table) {
    QStringList mountPoints;
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3 || isPseudoFileSystem(fields[2])) {
            continue;
        }
        const QString mountPoint = QFile::decodeName(unescapeMountPoint(fields[1]));
        if (mountPoint.startsWith(QLatin1Char('/')) && !isSystemArea(mountPoint) &&
            !mountPoints.contains(mountPoint)) {
            mountPoints.append(mountPoint);
        }
    }
    mountPoints.removeAll(QStringLiteral("/"));
    sortForDisplay(mountPoints);
    mountPoints.prepend(QStringLiteral("/"));
    return mountPoints;
}

QStringList fileSystemRoots() {
    QStringList roots;
#if defined(_WIN32)
    for (const QFileInfo& drive : QDir::drives()) {
        roots.append(drive.absoluteFilePath());
    }
#elif defined(__linux__)
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (table.open(QIODevice::ReadOnly)) {
        // A file bound over another file (a container's /etc/hosts) is no place to browse.
        for (const QString& mountPoint : mountPointsFromTable(table.readAll())) {
            if (mountPoint == QLatin1String("/") || QFileInfo(mountPoint).isDir()) {
                roots.append(mountPoint);
            }
        }
    }
#else
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && !roots.contains(volume.rootPath())) {
            roots.append(volume.rootPath());
        }
    }
#endif
    if (roots.isEmpty()) {
        roots.append(QDir::rootPath());
    }
    return roots;
}

QString rootOf(const QString& path, const QStringList& roots) {
#ifdef _WIN32
    constexpr Qt::CaseSensitivity kCase = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity kCase = Qt::CaseSensitive;
#endif
    const QString directory = withTrailingSlash(QDir::fromNativeSeparators(path));
    QString best;
    for (const QString& root : roots) {
        if (directory.startsWith(withTrailingSlash(QDir::fromNativeSeparators(root)), kCase) &&
            root.size() > best.size()) {
            best = root;
        }
    }
    return best;
}

}  // namespace flashupdate
