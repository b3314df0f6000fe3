#include "runlog/trace_file.h"

#include <cerrno>
#include <cstring>

#include "common/escaped_text.h"

namespace flashupdate {

std::string traceWord(std::string_view name) {
    return escapedText(name, Blanks::Escaped);
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
