// Where the boot loader is looked for when no one names it: next to the program first (as the
// window always has), then $XDG_DATA_HOME/flashupdate (~/.local/share/flashupdate when unset),
// then flashupdate in each of $XDG_DATA_DIRS (/usr/local/share and /usr/share when unset), where
// a package or an administrator puts it. Relative entries are ignored, as the XDG base
// directories ask.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace flashupdate {

std::vector<std::filesystem::path> bootLoaderPlaces(const std::filesystem::path& programDirectory);

// The boot loader in the first place that holds one (FileExits); in the first place when none
// does, for the update to report as missing.
std::filesystem::path locateBootLoader(const std::vector<std::filesystem::path>& places,
                                       const std::string& name);

// "BOOTLOAD.IMG is in none of /opt/fu, /usr/share/flashupdate; --bootloader names another file"
std::string notFoundText(const std::vector<std::filesystem::path>& places, const std::string& name);

}  // namespace flashupdate
