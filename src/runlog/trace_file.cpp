#include "runlog/trace_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/escaped_text.h"

#include <fcntl.h>
#include <unistd.h>

namespace flashupdate {

namespace {

// The path names the very file standard output writes to: opening it again would empty what
// has already been written there, and two positions in one file overwrite each other.
bool isStandardOutput(const std::string& path) {
    struct stat named {};
    struct stat out {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(1, &out) == 0 &&
           named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

struct Opened {
    int descriptor = -1;
    std::string error;
};

Opened openForWriting(const std::string& path) {
    // Without O_NONBLOCK, a FIFO nobody reads would hold the start until someone does; the
    // sink keeps it, so that a reader who stops reading never holds a writer either.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENXIO) {
            return {-1, "it is a FIFO that no process reads"};
        }
        return {-1, std::strerror(errno)};
    }
    return {fd, {}};
}

}  // namespace

std::string traceWord(std::string_view name) {
    return escapedText(name, Blanks::Escaped);
}

std::string rfc3339Text(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    // strftime gives "+0100"; RFC 3339 wants "+01:00".
    if (length >= 5) {
        std::string stamped(text, length);
        stamped.insert(stamped.size() - 2, ":");
        return stamped;
    }
    return std::string(text, length);
}

TraceFile::TraceFile(const std::string& path, Start start,
                     std::shared_ptr<OutputSink> standardOutput)
    : m_start(start.monotonic) {
    // The system would create the file named by the part before it.
    if (path.find('\0') != std::string::npos) {
        m_error = "the name holds a NUL byte";
        return;
    }
    if (isStandardOutput(path)) {
        m_sink = standardOutput != nullptr
                     ? std::move(standardOutput)
                     : std::make_shared<OutputSink>(1, OutputSink::Ownership::Shared);
    } else {
        const Opened opened = openForWriting(path);
        if (opened.descriptor < 0) {
            m_error = opened.error;
            return;
        }
        m_sink = std::make_shared<OutputSink>(opened.descriptor, OutputSink::Ownership::Owned);
    }
    const std::lock_guard lock(m_mutex);
    writeLine("# flashupdate trace 2: seconds port direction baud bytes\n");
    writeLine("# date " + rfc3339Text(start.date) + " program " + start.program + "\n");
    // A trace whose first lines cannot be written is one that cannot be written at all.
    if (m_failed) {
        m_sink = nullptr;
        m_failed = false;
    }
}

// Whatever still waits in an unshared sink when the trace goes is given up with it: the caller
// that wanted it out drained the sink first.
TraceFile::~TraceFile() {
    finish();
}

std::string TraceFile::error() const {
    const std::lock_guard lock(m_mutex);
    return m_error;
}

bool TraceFile::failed() const {
    const std::lock_guard lock(m_mutex);
    return m_failed;
}

std::uint64_t TraceFile::droppedBytes() const {
    const std::lock_guard lock(m_mutex);
    return m_sink != nullptr ? m_sink->dropped(kSinkWriter) - m_markBytesDropped : 0;
}

void TraceFile::setFailureHandler(std::function<void(const std::string&)> handler) {
    const std::lock_guard lock(m_mutex);
    m_onFailure = std::move(handler);
}

// Every public writer: runs write under the lock and tells of a first failure after it, so the
// handler may write elsewhere, or even ask whether the trace has failed.
template <typename Write>
void TraceFile::guarded(Write&& write) {
    std::function<void(const std::string&)> tell;
    std::string why;
    {
        const std::lock_guard lock(m_mutex);
        const bool failedBefore = m_failed;
        write();
        if (m_failed && !failedBefore && m_onFailure) {
            tell = m_onFailure;
            why = m_error;
        }
    }
    if (tell) {
        tell(why);
    }
}

void TraceFile::image(const std::string& path, const std::string& sha256) {
    const std::string sum = sha256.empty() ? " unread" : " sha256 " + traceWord(sha256);
    guarded([&] { writeLine("# image " + traceWord(path) + sum + "\n"); });
}

void TraceFile::stage(const std::string& port, std::chrono::nanoseconds at,
                      std::string_view stage) {
    const std::string word = traceWord(port);
    guarded([&] {
        writePending(word, m_pending[word]);
        writeLine("# " + secondsText(at) + " " + word + " stage " + traceWord(stage) + "\n");
    });
}

void TraceFile::record(const std::string& port, bool sent, std::chrono::nanoseconds at,
                       std::string_view bytes, int baudRate) {
    if (bytes.empty()) {
        return;
    }
    const std::string word = traceWord(port);
    guarded([&] {
        Pending& pending = m_pending[word];
        if (!pending.bytes.empty() && (pending.sent != sent || pending.baudRate != baudRate)) {
            writePending(word, pending);
        }
        while (!bytes.empty()) {
            if (pending.bytes.empty()) {
                pending.sent = sent;
                pending.baudRate = baudRate;
                pending.at = at;
            }
            const std::size_t room = kBytesPerLine - pending.bytes.size();
            pending.bytes.append(bytes.substr(0, room));
            bytes.remove_prefix(std::min(room, bytes.size()));
            if (pending.bytes.size() == kBytesPerLine) {
                writePending(word, pending);
            }
        }
    });
}

void TraceFile::endRun(const std::string& port) {
    const std::string word = traceWord(port);
    guarded([&] { writePending(word, m_pending[word]); });
}

bool TraceFile::finish() {
    guarded([&] {
        for (auto& [word, pending] : m_pending) {
            writePending(word, pending);
        }
    });
    const std::lock_guard lock(m_mutex);
    return m_sink != nullptr && !m_failed && m_sink->dropped(kSinkWriter) == m_markBytesDropped;
}

void TraceFile::writePending(const std::string& word, Pending& pending) {
    if (pending.bytes.empty()) {
        return;
    }
    std::string line = secondsText(pending.at) + " " + word +
                       (pending.sent ? " sent " : " received ") + std::to_string(pending.baudRate);
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : pending.bytes) {
        const auto byte = static_cast<unsigned char>(c);
        line += ' ';
        line += kHex[byte >> 4];
        line += kHex[byte & 0x0f];
    }
    line += '\n';
    pending.bytes.clear();
    writeLine(line);
}

void TraceFile::writeLine(const std::string& line) {
    if (m_sink == nullptr || m_failed) {
        return;
    }
    // One piece a line: standard output shared with the JSON lines never gets a line in the
    // middle of another, and a line dropped is dropped whole.
    const std::string piece = m_gap == 0 ? line
                                         : "# dropped " + std::to_string(m_gap) +
                                               " bytes here: the reader did not keep up\n" + line;
    switch (m_sink->write(piece, kSinkWriter)) {
        case OutputSink::Written::Whole:
            m_gap = 0;
            break;
        case OutputSink::Written::Dropped:
            m_gap += line.size();
            // The sink counts what it was given; the trace's account is of its own lines.
            m_markBytesDropped += piece.size() - line.size();
            break;
        case OutputSink::Written::Failed:
            m_failed = true;
            m_error = m_sink->error();
            break;
    }
}

std::string TraceFile::secondsText(std::chrono::nanoseconds at) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", std::chrono::duration<double>(at - m_start).count());
    return text;
}

}  // namespace flashupdate
