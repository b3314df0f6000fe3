// A record of the wire: every byte sent to an instrument and received from it, per port, so that
// a failed update in the field shows what went to the instrument and what came back, when and at
// what speed. A person can read it and a script can split it on blanks:
//
//   # flashupdate trace 2: seconds port direction baud bytes
//   # date 2026-12-09T01:40:02+01:00 program flashupdate-cli 2.03
//   # image /home/tech/FW.IMG sha256
//   9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 # 0.000412 /dev/ttyUSB0 stage
//   boot-loader 0.052114 /dev/ttyUSB0 sent 1200 ff 02 9a 4c ... 7.331908 /dev/ttyUSB0 received 9600
//   45
//
// Bytes that one port sends or receives one after another, in one direction at one speed, share
// a line of up to 32 bytes, stamped with the time of the line's first byte; so an update of a few
// kilobytes takes a few hundred lines, not one per byte written. seconds: a monotonic clock, from
// when the file was opened, to the microsecond; port: the port's name as given, with blanks,
// backslashes and control characters written \xNN and bytes that are not UTF-8 as \xNN;
// direction: "sent" (handed to the line) or "received"; baud: the line's speed in force. A line
// that begins with # is a comment: the header, an image a run read, a stage a run entered.
//
// Every complete line is handed to the output as it is written; a port's unfinished line is
// written when its direction or speed changes, its run enters a stage or ends, or the trace is
// finished. Many ports may write to one file from their threads at once. Writing never waits for
// the reader: lines go through an output sink, and a reader that falls more than its bound behind
// loses whole lines, which a comment line marks where they were ("# dropped 4096 bytes here: the
// reader did not keep up") and droppedBytes() counts. A trace that cannot be written is never
// silent: failed() and error() say so, and the rest is not written (an incomplete trace).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "runlog/output_sink.h"

namespace flashupdate {

class TraceFile {
public:
    static constexpr std::size_t kBytesPerLine = 32;

    // Which program writes the trace, with its version ("flashupdate-cli 2.03"), and where the
    // trace's clock and date start.
    struct Start {
        std::string program;
        std::chrono::nanoseconds monotonic{std::chrono::steady_clock::now().time_since_epoch()};
        std::chrono::system_clock::time_point date = std::chrono::system_clock::now();
    };

    // Creates or empties the file and writes the header; ok() tells whether that worked, error()
    // why not. A path that names the file standard output already writes to (/dev/stdout, or
    // "> run.txt" with the trace in run.txt) shares standard output, in order and without
    // emptying it, through standardOutput when given (the sink the rest of standard output
    // goes through, so that the lines of both keep their order). A FIFO is opened without
    // waiting for a reader: with none, it is not ok().
    TraceFile(const std::string& path, Start start,
              std::shared_ptr<OutputSink> standardOutput = nullptr);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // The trace's writer among those of its sink.
    static constexpr std::size_t kSinkWriter = 1;

    bool ok() const { return m_sink != nullptr; }
    // Why the file could not be opened, or why writing it failed.
    std::string error() const;
    // Writing failed after the file was opened: the trace is incomplete.
    bool failed() const;
    // The bytes of lines given up because the reader did not keep up, those still waiting when
    // the sink was abandoned included.
    std::uint64_t droppedBytes() const;
    // Where the lines go, for the caller to drain at the end; null when not ok().
    const std::shared_ptr<OutputSink>& sink() const { return m_sink; }
    // Told once, on the thread that wrote, when writing first fails.
    void setFailureHandler(std::function<void(const std::string& error)> handler);

    // The image a run read, as a comment line; sha256 empty for one that could not be read.
    void image(const std::string& path, const std::string& sha256);
    // A run on port has entered the stage named ("erase"), as a comment line, after the bytes
    // that came before it.
    void stage(const std::string& port, std::chrono::nanoseconds at, std::string_view stage);
    // at: on the steady clock, as the serial control's event loop gives it in production.
    void record(const std::string& port, bool sent, std::chrono::nanoseconds at,
                std::string_view bytes, int baudRate);
    // A run on port has ended: its unfinished line is written now, in its place among the others.
    void endRun(const std::string& port);
    // Hands every port's unfinished line to the output; true when nothing has failed or been
    // dropped so far.
    bool finish();

private:
    // The bytes of a port's line not yet written.
    struct Pending {
        bool sent = true;
        int baudRate = 0;
        std::chrono::nanoseconds at{};
        std::string bytes;
    };

    template <typename Write>
    void guarded(Write&& write);
    // These run with m_mutex held.
    void writePending(const std::string& word, Pending& pending);
    void writeLine(const std::string& line);
    std::string secondsText(std::chrono::nanoseconds at) const;

    mutable std::mutex m_mutex;
    std::shared_ptr<OutputSink> m_sink;
    bool m_failed = false;
    // Dropped since the last line the sink took: the gap the next line's comment marks.
    std::uint64_t m_gap = 0;
    // Of the comments that mark a gap, given to the sink with a line and dropped with it.
    std::uint64_t m_markBytesDropped = 0;
    std::string m_error;
    std::chrono::nanoseconds m_start;
    std::function<void(const std::string&)> m_onFailure;
    // By the port's word as the trace writes it.
    std::map<std::string, Pending> m_pending;
};

// The port's name as a trace writes it: one word, nothing a terminal would act on.
std::string traceWord(std::string_view name);

// "2026-12-09T01:40:02+01:00": local time with its offset from UTC (RFC 3339).
std::string rfc3339Text(std::chrono::system_clock::time_point time);

}  // namespace flashupdate
