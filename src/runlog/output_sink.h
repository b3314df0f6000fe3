// Output that never holds its writer: standard output, the trace and the log of runs go out
// through a sink, so that a reader who stops reading (a pager, a terminal paused with Ctrl-S, a
// pipe into a program that sleeps) never delays a byte to an instrument nor a stop.
//
// write() hands over a whole piece (a line, or a frame of live lines) and never waits: what the
// descriptor does not take at once waits in a bounded buffer, in order, and goes out on a later
// write(), a flush() (which an event loop calls when the descriptor has room: see SinkWatcher)
// or drainSinks() at the end. A piece that does not fit in the buffer is dropped whole, never
// cut, and counted against the writer that gave it: several writers may share one sink (the
// trace shares standard output with the renderers) and each learns what it lost.
//
// A descriptor that fails (a full disk, /dev/full, a reader that closed the pipe) is an error,
// not a drop: failed() and error() say so, and nothing more is written.
//
// Any thread may use a sink.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace flashupdate {

class OutputSink {
public:
    // Enough for several minutes of a busy trace; past it a stalled reader costs output, not
    // memory.
    static constexpr std::size_t kBound = 1024 * 1024;
    // Writers of one sink: numbered by their owners, counted apart.
    static constexpr std::size_t kWriters = 2;

    enum class Ownership {
        // Ours alone: made non-blocking, closed with the sink.
        Owned,
        // Shared with other programs (standard output): its flags are left alone, see the
        // constructor.
        Shared,
    };
    enum class Written { Whole, Dropped, Failed };

    // A shared terminal or pipe is written through a descriptor of its own, opened again through
    // /proc/self/fd: O_NONBLOCK on the descriptor we were given would hold for the shell and for
    // every other program on that terminal or pipe, even after we have gone. A socket (a service's
    // journal) is written with MSG_DONTWAIT. A regular file never waits for a reader and is
    // written as it is.
    OutputSink(int descriptor, Ownership ownership, std::size_t bound = kBound);
    ~OutputSink();
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // Never waits. Whole: given out or buffered. Dropped: the buffer had no room; the rest of
    // the output goes on. Failed: the descriptor refuses output; see error().
    Written write(std::string_view piece, std::size_t writer = 0);
    // Gives out what the descriptor takes now; true when nothing is left waiting.
    bool flush();
    // The bytes still waiting are given up and counted as dropped; returns how many.
    std::size_t abandon();

    std::size_t waiting() const;
    std::uint64_t dropped(std::size_t writer = 0) const;
    bool failed() const;
    std::string error() const;
    // What to watch for room (POLLOUT, a write notifier).
    int descriptor() const { return m_descriptor; }

    // Told, on the writing thread and with the sink locked, when bytes begin to wait: the moment
    // for an event loop to watch the descriptor. It must not use the sink.
    void setBacklogHandler(std::function<void()> handler);

private:
    enum class Mode { Write, Send, Polled };
    struct Piece {
        std::string bytes;
        std::size_t writer = 0;
    };

    // With m_mutex held: how much of bytes the descriptor took now.
    std::size_t put(std::string_view bytes);
    void sendWaiting();

    mutable std::mutex m_mutex;
    int m_descriptor = -1;
    bool m_owned = false;
    Mode m_mode = Mode::Write;
    std::size_t m_bound;
    std::deque<Piece> m_waiting;
    std::size_t m_waitingBytes = 0;
    std::uint64_t m_dropped[kWriters] = {};
    std::string m_error;
    std::function<void()> m_onBacklog;
};

// Gives every sink's waiting bytes until deadline() (asked again after each wait, so that a signal
// may bring it forward) to leave; true when all left. Waits on the descriptors, never spins.
bool drainSinks(std::span<OutputSink* const> sinks,
                const std::function<std::chrono::steady_clock::time_point()>& deadline);

// A stdio stream whose flushes go to the sink as pieces, for code that prints with fprintf:
// each fflush is one piece, so a line flushed at once is kept or dropped whole. Closed (fclose)
// by its owner; it keeps the sink alive until then.
struct StreamCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
std::unique_ptr<std::FILE, StreamCloser> sinkStream(std::shared_ptr<OutputSink> sink,
                                                    std::size_t writer = 0);

}  // namespace flashupdate
