#include "update/boot_loader_places.h"

#include <cstdlib>

#include "update/image_file.h"

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void addIfAbsolute(std::vector<fs::path>& places, const fs::path& place) {
    if (place.is_absolute()) {
        places.push_back(place / "flashupdate");
    }
}

}  // namespace

std::vector<fs::path> bootLoaderPlaces(const fs::path& programDirectory) {
    std::vector<fs::path> places{programDirectory};
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty()) {
        addIfAbsolute(places, dataHome);
    } else if (const std::string home = environment("HOME"); !home.empty()) {
        addIfAbsolute(places, fs::path(home) / ".local" / "share");
    }
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) {
        dataDirs = "/usr/local/share:/usr/share";
    }
    // Lists of paths are separated as the platform's PATH is: a colon would cut "C:\..." apart.
#ifdef _WIN32
    constexpr char kListSeparator = ';';
#else
    constexpr char kListSeparator = ':';
#endif
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = dataDirs.find(kListSeparator, start);
        addIfAbsolute(places, dataDirs.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return places;
}

fs::path locateBootLoader(const std::vector<fs::path>& places, const std::string& name) {
    for (const fs::path& place : places) {
        try {
            if (FileExits(place / name)) {
                return place / name;
            }
        } catch (const std::exception&) {
            // A place that cannot be searched holds nothing for us.
        }
    }
    return places.front() / name;
}

std::string notFoundText(const std::vector<fs::path>& places, const std::string& name) {
    std::string text = name + " is in none of ";
    for (const fs::path& place : places) {
        text += (place == places.front() ? "" : ", ") + textFromPath(place);
    }
    return text + "; --bootloader names another file";
}

}  // namespace flashupdate
