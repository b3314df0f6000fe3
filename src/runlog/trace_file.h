// A record of the wire: every byte sent to an instrument and received from it, per port, one
// event a line, written and flushed as it happens, so that a failed update in the field shows
// what went to the instrument and what came back, when and at what speed. A person can read it
// and a script can split it on blanks:
//
//   # flashupdate trace 1: seconds port direction baud bytes
//   0.052114 /dev/ttyUSB0 sent 1200 ff 02 9a 4c ...
//   7.331908 /dev/ttyUSB0 received 9600 45
//
// seconds: a monotonic clock, from when the file was opened, to the microsecond; port: the
// port's name as given, with blanks, backslashes and control characters written \xNN and bytes
// that are not UTF-8 as \xNN; direction: "sent" (handed to the line) or "received"; baud: the
// line's speed in force; bytes: at most 32, two hex digits each; a longer delivery takes several
// lines with the same time. Many ports may write to one file from their threads at once.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace flashupdate {

class TraceFile {
public:
    static constexpr std::size_t kBytesPerLine = 32;

    // Creates or empties the file; ok() tells whether that worked, error() why not.
    explicit TraceFile(const std::string& path);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool ok() const { return m_file != nullptr; }
    const std::string& error() const { return m_error; }

    // at: on the steady clock, as the serial control's event loop gives it in production.
    void record(const std::string& port, bool sent, std::chrono::nanoseconds at,
                std::string_view bytes, int baudRate);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::string m_error;
    std::chrono::nanoseconds m_start;
};

// The port's name as a trace writes it: one word, nothing a terminal would act on.
std::string traceWord(std::string_view name);

}  // namespace flashupdate
