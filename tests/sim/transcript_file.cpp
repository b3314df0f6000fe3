#include "transcript_file.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <thread>

namespace sim_test {

namespace {

// Strict on purpose: the transcript is read by people's scripts too.
bool parse_line(const std::string& text, TranscriptLine& line) {
    std::size_t i = 0;
    auto digits = [&](std::size_t minimum, std::size_t exactly = 0) {
        std::size_t begin = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
        std::size_t count = i - begin;
        return exactly != 0 ? count == exactly : count >= minimum;
    };
    auto expect = [&](char c) { return i < text.size() && text[i++] == c; };
    auto hex_digit = [&] {
        if (i >= text.size()) {
            return false;
        }
        const char c = text[i++];
        return std::isdigit(static_cast<unsigned char>(c)) != 0 || (c >= 'A' && c <= 'F');
    };
    if (!(digits(1) && expect('.') && digits(0, 3))) {
        return false;
    }
    std::size_t seconds_end = i;
    if (!expect(' ')) {
        return false;
    }
    std::size_t baud_begin = i;
    if (!(digits(1) && expect(' '))) {
        return false;
    }
    std::size_t byte_begin = i;
    if (!(hex_digit() && hex_digit() && i == text.size())) {
        return false;
    }
    line.seconds = std::stod(text.substr(0, seconds_end));
    line.baud = std::stoi(text.substr(baud_begin, byte_begin - baud_begin - 1));
    line.byte = std::stoi(text.substr(byte_begin), nullptr, 16);
    return true;
}

}  // namespace

std::vector<TranscriptLine> read_transcript(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();

    std::vector<TranscriptLine> lines;
    std::size_t begin = 0;
    // A line without its newline is still being written; it is left for later.
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        TranscriptLine line;
        line.text = text.substr(begin, end - begin);
        begin = end + 1;
        if (!parse_line(line.text, line)) {
            line.baud = -1;
            line.byte = -1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<TranscriptLine> wait_for_transcript(const std::string& path, std::size_t count,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto lines = read_transcript(path);
        if (lines.size() >= count || std::chrono::steady_clock::now() >= deadline) {
            return lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace sim_test
