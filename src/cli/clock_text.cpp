#include "cli/clock_text.h"

#include <cstdio>
#include <ctime>

namespace flashupdate::cli {

namespace {

std::string formatted(std::chrono::system_clock::time_point time, const char* format, bool zone) {
    const auto since = time.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char head[64];
    std::strftime(head, sizeof head, format, &local);
    char text[96];
    if (zone) {
        char offset[16];
        std::strftime(offset, sizeof offset, "%z", &local);
        std::snprintf(text, sizeof text, "%s.%03d%s", head, static_cast<int>(millis), offset);
    } else {
        std::snprintf(text, sizeof text, "%s.%03d", head, static_cast<int>(millis));
    }
    return text;
}

}  // namespace

std::string clockText(std::chrono::system_clock::time_point time) {
    return formatted(time, "%H:%M:%S", false);
}

std::string isoText(std::chrono::system_clock::time_point time) {
    return formatted(time, "%Y-%m-%dT%H:%M:%S", true);
}

std::string minutesSecondsText(std::chrono::milliseconds duration) {
    // Rounded up, so "0:00" shows only when nothing is left.
    const long long seconds = (duration.count() + 999) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

}  // namespace flashupdate::cli
