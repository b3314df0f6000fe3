// Paths between Qt's text and the file system's own form. On Unix a name is bytes in the
// locale's encoding; converting through it (not through UTF-16 guesses) keeps every name that
// can be listed also openable.
#pragma once

#include <QString>
#include <filesystem>

namespace flashupdate {

std::filesystem::path toFsPath(const QString& path);
QString fromFsPath(const std::filesystem::path& path);

}  // namespace flashupdate
