#include "cli/renderer.h"

namespace flashupdate::cli {

std::vector<std::string> messageLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 2;
    }
}

std::uint64_t percentSent(std::uint64_t sent, std::uint64_t total) {
    return total == 0 ? 0 : sent * 100 / total;
}

}  // namespace flashupdate::cli
