// The procedure loads BOOTLOAD.IMG from the directory it is given. This finds or makes that
// directory for the boot loader the operator chose.
#pragma once

#include <QTemporaryDir>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace flashupdate::cli {

class BootLoaderDirectory {
public:
    // Without a choice: the directory of this program, as for the window.
    BootLoaderDirectory(const std::optional<std::string>& chosen,
                        const std::filesystem::path& programDirectory);

    const std::filesystem::path& path() const { return m_path; }

private:
    std::unique_ptr<QTemporaryDir> m_copyDirectory;
    std::filesystem::path m_path;
};

}  // namespace flashupdate::cli
