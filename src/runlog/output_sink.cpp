#include "runlog/output_sink.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace flashupdate {

OutputSink::OutputSink(int descriptor, Ownership ownership, std::size_t bound)
    : m_descriptor(descriptor), m_owned(ownership == Ownership::Owned), m_bound(bound) {
    if (m_owned) {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0) {
            ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
        }
        return;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_mode = Mode::Send;
        return;
    }
    // A pipe or a terminal opened again is the same pipe or terminal, with flags of its own.
    const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        m_descriptor = own;
        m_owned = true;
        return;
    }
    // Without /proc (or with the terminal held exclusively): the descriptor as given, written
    // only when it reports room, no more than it then takes without waiting.
    m_mode = Mode::Polled;
}

OutputSink::~OutputSink() {
    if (m_owned) {
        ::close(m_descriptor);
    }
}

OutputSink::Written OutputSink::write(std::string_view piece, std::size_t writer) {
    const std::lock_guard lock(m_mutex);
    if (!m_error.empty()) {
        return Written::Failed;
    }
    sendWaiting();
    std::size_t taken = 0;
    if (m_waiting.empty()) {
        taken = put(piece);
    }
    if (!m_error.empty()) {
        return Written::Failed;
    }
    if (taken == piece.size()) {
        return Written::Whole;
    }
    // A piece that has begun to leave is kept whole, even past the bound: a line cut in two would
    // join the next one.
    if (taken == 0 && m_waitingBytes + piece.size() > m_bound) {
        m_dropped[writer] += piece.size();
        return Written::Dropped;
    }
    const bool first = m_waiting.empty();
    m_waiting.push_back(Piece{std::string(piece.substr(taken)), writer});
    m_waitingBytes += piece.size() - taken;
    if (first && m_onBacklog) {
        m_onBacklog();
    }
    return Written::Whole;
}

bool OutputSink::flush() {
    const std::lock_guard lock(m_mutex);
    sendWaiting();
    return m_waiting.empty();
}

std::size_t OutputSink::abandon() {
    const std::lock_guard lock(m_mutex);
    const std::size_t abandoned = m_waitingBytes;
    for (const Piece& piece : m_waiting) {
        m_dropped[piece.writer] += piece.bytes.size();
    }
    m_waiting.clear();
    m_waitingBytes = 0;
    return abandoned;
}

std::size_t OutputSink::waiting() const {
    const std::lock_guard lock(m_mutex);
    return m_waitingBytes;
}

std::uint64_t OutputSink::dropped(std::size_t writer) const {
    const std::lock_guard lock(m_mutex);
    return m_dropped[writer];
}

bool OutputSink::failed() const {
    const std::lock_guard lock(m_mutex);
    return !m_error.empty();
}

std::string OutputSink::error() const {
    const std::lock_guard lock(m_mutex);
    return m_error;
}

void OutputSink::setBacklogHandler(std::function<void()> handler) {
    const std::lock_guard lock(m_mutex);
    m_onBacklog = std::move(handler);
}

void OutputSink::sendWaiting() {
    while (!m_waiting.empty() && m_error.empty()) {
        Piece& front = m_waiting.front();
        const std::size_t taken = put(front.bytes);
        m_waitingBytes -= taken;
        if (taken < front.bytes.size()) {
            front.bytes.erase(0, taken);
            return;
        }
        m_waiting.pop_front();
    }
}

std::size_t OutputSink::put(std::string_view bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        std::size_t size = bytes.size() - taken;
        if (m_mode == Mode::Polled) {
            pollfd room{m_descriptor, POLLOUT, 0};
            if (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
                // POLLERR and POLLHUP show on the write that follows.
                if ((room.revents & (POLLERR | POLLHUP)) == 0) {
                    return taken;
                }
            }
            // Room reported on a pipe holds at least PIPE_BUF bytes.
            size = std::min<std::size_t>(size, PIPE_BUF);
        }
        const char* const data = bytes.data() + taken;
        const ssize_t written = m_mode == Mode::Send
                                    ? ::send(m_descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                    : ::write(m_descriptor, data, size);
        if (written > 0) {
            taken += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return taken;
        }
        m_error = written < 0 ? std::strerror(errno) : "the output takes nothing";
        return taken;
    }
    return taken;
}

bool drainSinks(std::span<OutputSink* const> sinks,
                const std::function<std::chrono::steady_clock::time_point()>& deadline) {
    // Short enough to see a deadline brought forward by a signal that poll() did not see.
    constexpr std::chrono::milliseconds kLook(50);
    for (;;) {
        std::vector<pollfd> waiting;
        for (OutputSink* sink : sinks) {
            if (sink != nullptr && !sink->flush() && !sink->failed()) {
                waiting.push_back(pollfd{sink->descriptor(), POLLOUT, 0});
            }
        }
        if (waiting.empty()) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline() - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        ::poll(waiting.data(), waiting.size(), static_cast<int>(std::min(left, kLook).count()));
    }
}

namespace {

// Large enough for any frame of live lines a renderer flushes at once.
constexpr std::size_t kStreamBuffer = 256 * 1024;

struct StreamCookie {
    StreamCookie(std::shared_ptr<OutputSink> sink, std::size_t writer)
        : sink(std::move(sink)), writer(writer) {}

    std::shared_ptr<OutputSink> sink;
    std::size_t writer = 0;
    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kStreamBuffer);
};

ssize_t writeToSink(void* cookie, const char* data, std::size_t size) {
    const auto* const stream = static_cast<StreamCookie*>(cookie);
    // What the sink could not take is its account, not the stream's: a stream with an error would
    // keep retrying the same bytes.
    stream->sink->write(std::string_view(data, size), stream->writer);
    return static_cast<ssize_t>(size);
}

int closeStream(void* cookie) {
    delete static_cast<StreamCookie*>(cookie);
    return 0;
}

}  // namespace

std::unique_ptr<std::FILE, StreamCloser> sinkStream(std::shared_ptr<OutputSink> sink,
                                                    std::size_t writer) {
    auto cookie = std::make_unique<StreamCookie>(std::move(sink), writer);
    char* const buffer = cookie->buffer.get();
    std::FILE* const stream = ::fopencookie(
        cookie.get(), "w", cookie_io_functions_t{nullptr, writeToSink, nullptr, closeStream});
    if (stream == nullptr) {
        return nullptr;
    }
    // From here the stream owns it, and closeStream lets it go.
    cookie.release();
    std::setvbuf(stream, buffer, _IOFBF, kStreamBuffer);
    return std::unique_ptr<std::FILE, StreamCloser>(stream);
}

}  // namespace flashupdate
