#include "runlog/trace_file.h"

#include <cerrno>
#include <cstring>

namespace flashupdate {

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence starting at text[i] (1 to 4), 0 when it is not one.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (!isContinuation(static_cast<unsigned char>(text[i + k]))) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string traceWord(std::string_view name) {
    std::string word;
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const std::size_t length = utf8Length(name, i);
        const bool plain =
            length > 1 || (length == 1 && byte > 0x20 && byte < 0x7F && byte != '\\');
        if (!plain) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            word += escaped;
            ++i;
            continue;
        }
        word.append(name.substr(i, length));
        i += length;
    }
    return word;
}

TraceFile::TraceFile(const std::string& path)
    : m_start(std::chrono::steady_clock::now().time_since_epoch()) {
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        m_error = std::strerror(errno);
        return;
    }
    std::fputs("# flashupdate trace 1: seconds port direction baud bytes\n", m_file);
    std::fflush(m_file);
}

TraceFile::~TraceFile() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void TraceFile::record(const std::string& port, bool sent, std::chrono::nanoseconds at,
                       std::string_view bytes, int baudRate) {
    if (m_file == nullptr || bytes.empty()) {
        return;
    }
    const double seconds = std::chrono::duration<double>(at - m_start).count();
    const std::string word = traceWord(port);
    const std::lock_guard lock(m_mutex);
    for (std::size_t first = 0; first < bytes.size(); first += kBytesPerLine) {
        std::fprintf(m_file, "%.6f %s %s %d", seconds, word.c_str(), sent ? "sent" : "received",
                     baudRate);
        for (const char c : bytes.substr(first, kBytesPerLine)) {
            std::fprintf(m_file, " %02x", static_cast<unsigned char>(c));
        }
        std::fputc('\n', m_file);
    }
    std::fflush(m_file);
}

}  // namespace flashupdate
