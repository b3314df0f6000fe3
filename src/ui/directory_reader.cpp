#include "ui/directory_reader.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "ui/path_conversion.h"

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

bool isHidden(const QString& directory, const QString& name) {
#ifdef _WIN32
    // The hidden attribute, not the name, marks a hidden file here.
    return QFileInfo(directory + QLatin1Char('/') + name).isHidden();
#else
    Q_UNUSED(directory);
    return name.startsWith(QLatin1Char('.'));
#endif
}

}  // namespace

DirectoryReadError::DirectoryReadError(const QString& path, const std::string& reason)
    : std::runtime_error("cannot read directory " + QFile::encodeName(path).toStdString() + ": " +
                         reason),
      m_path(path),
      m_reason(QString::fromLocal8Bit(reason)) {}

DirectoryEntries readDirectory(const QString& path) {
    DirectoryEntries entries;
    std::error_code error;
    for (fs::directory_iterator entry(toFsPath(path), error), end; !error && entry != end;
         entry.increment(error)) {
        const QString name = fromFsPath(entry->path().filename());
        if (isHidden(path, name)) {
            continue;
        }
        // Both tests follow links; a dangling link is neither and is left out.
        std::error_code typeError;
        if (entry->is_directory(typeError)) {
            entries.directories.append(name);
        } else if (entry->is_regular_file(typeError)) {
            entries.files.append(name);
        }
    }
    if (error) {
        throw DirectoryReadError(path, error.message());
    }
    sortForDisplay(entries.directories);
    sortForDisplay(entries.files);
    return entries;
}

void sortForDisplay(QStringList& names) {
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = QString::compare(a, b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
}

}  // namespace flashupdate
