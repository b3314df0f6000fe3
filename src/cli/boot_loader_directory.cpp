#include "cli/boot_loader_directory.h"

#include <system_error>

namespace flashupdate::cli {

namespace fs = std::filesystem;

namespace {
constexpr const char* kBootLoaderName = "BOOTLOAD.IMG";
}

BootLoaderDirectory::BootLoaderDirectory(const std::optional<std::string>& chosen,
                                         const fs::path& programDirectory) {
    if (!chosen) {
        m_path = programDirectory;
        return;
    }
    const fs::path file = fs::absolute(*chosen);
    if (file.filename() == kBootLoaderName) {
        m_path = file.parent_path();
        return;
    }
    // Under another name, the file is copied as BOOTLOAD.IMG into a private temporary
    // directory, removed at exit. A file that cannot be copied leaves the directory empty, and
    // the procedure reports "Can't find Boot Loaders" as it would for the window.
    m_copyDirectory = std::make_unique<QTemporaryDir>();
    m_path = m_copyDirectory->path().toStdString();
    if (m_copyDirectory->isValid()) {
        std::error_code error;
        fs::copy_file(file, m_path / kBootLoaderName, error);
    }
}

}  // namespace flashupdate::cli
