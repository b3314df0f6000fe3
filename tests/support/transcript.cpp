#include "support/transcript.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <thread>

namespace flashupdate::testing {

namespace {

bool allOf(std::string_view text, std::string_view set) {
    return !text.empty() && text.find_first_not_of(set) == std::string_view::npos;
}

// "S.DDD B HH": seconds with exactly three decimals, the baud, two upper-case hex digits.
bool parseLine(std::string_view text, TranscriptLine& line) {
    constexpr std::string_view kDigits = "0123456789";
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos || text.size() < point + 9 || text[point + 4] != ' ' ||
        text[text.size() - 3] != ' ') {
        return false;
    }
    const std::string baud(text.substr(point + 5, text.size() - point - 8));
    const std::string byte(text.substr(text.size() - 2));
    if (!allOf(text.substr(0, point), kDigits) || !allOf(text.substr(point + 1, 3), kDigits) ||
        !allOf(baud, kDigits) || !allOf(byte, "0123456789ABCDEF")) {
        return false;
    }
    line.seconds = std::stod(std::string(text.substr(0, point + 4)));
    line.baud = std::stoi(baud);
    line.byte = std::stoi(byte, nullptr, 16);
    return true;
}

}  // namespace

std::vector<TranscriptLine> readTranscript(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();

    std::vector<TranscriptLine> lines;
    std::size_t begin = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        TranscriptLine line;
        line.text = text.substr(begin, end - begin);
        begin = end + 1;
        if (!parseLine(line.text, line)) {
            line.baud = -1;
            line.byte = -1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<TranscriptLine> waitForTranscript(
    const std::string& path, const std::function<bool(const std::vector<TranscriptLine>&)>& done,
    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto lines = readTranscript(path);
        if (done(lines) || std::chrono::steady_clock::now() >= deadline) {
            return lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<TranscriptLine> waitForTranscript(const std::string& path, std::size_t count,
                                              std::chrono::milliseconds timeout) {
    return waitForTranscript(
        path, [count](const auto& lines) { return lines.size() >= count; }, timeout);
}

std::string bytesAt(const std::vector<TranscriptLine>& lines, int baud) {
    std::string bytes;
    for (const auto& line : lines) {
        if (line.baud == baud) {
            bytes += static_cast<char>(line.byte);
        }
    }
    return bytes;
}

std::string firstDifference(const std::string& received, const std::string& expected) {
    if (received == expected) {
        return {};
    }
    const auto at = static_cast<std::size_t>(
        std::mismatch(received.begin(), received.end(), expected.begin(), expected.end()).first -
        received.begin());
    const auto hex = [at](const std::string& bytes) {
        std::ostringstream text;
        text << std::hex << std::uppercase << std::setfill('0');
        for (std::size_t i = at; i < bytes.size() && i < at + 8; ++i) {
            text << ' ' << std::setw(2) << static_cast<int>(static_cast<unsigned char>(bytes[i]));
        }
        return bytes.size() <= at ? std::string(" (end)") : text.str();
    };
    std::ostringstream text;
    text << "differ at byte " << at << " (" << received.size() << " received, " << expected.size()
         << " expected); received from there:" << hex(received) << ", expected:" << hex(expected);
    return text.str();
}

}  // namespace flashupdate::testing
