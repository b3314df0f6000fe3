// Output that never holds its writer: a reader who stops costs output, counted, and never a wait;
// one who resumes gets everything, in order.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "runlog/output_sink.h"
#include "runlog/sink_watcher.h"

namespace flashupdate::testing {
namespace {

using std::chrono::steady_clock;

// A pipe whose read end the test holds without reading, made small so that it fills at once.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            read = ends[0];
            write = ends[1];
            ::fcntl(write, F_SETPIPE_SZ, 4096);
            ::fcntl(read, F_SETFL, O_NONBLOCK);
        }
    }
    ~Pipe() {
        ::close(read);
        if (write >= 0) {
            ::close(write);
        }
    }
    // Everything the pipe holds now.
    std::string take() const {
        std::string bytes;
        char chunk[4096];
        ssize_t got = 0;
        while ((got = ::read(read, chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }
};

std::string numberedLine(int number) {
    std::string line = "line " + std::to_string(number) + " ";
    line.resize(99, '.');
    return line + '\n';
}

// Nobody reads, for an owned pipe and for one shared with others: every write returns at once,
// the bound holds, and each writer's loss is its own. A shared descriptor keeps its flags.
TEST(OutputSink, APipeNobodyReadsNeverHoldsAWriterAndDropsBeyondTheBound) {
    for (const auto ownership : {OutputSink::Ownership::Owned, OutputSink::Ownership::Shared}) {
        SCOPED_TRACE(ownership == OutputSink::Ownership::Owned ? "owned" : "shared");
        Pipe pipe;
        ASSERT_GE(pipe.write, 0);
        const int flagsBefore = ::fcntl(pipe.write, F_GETFL);
        constexpr std::size_t kBound = 8192;
        OutputSink sink(pipe.write, ownership, kBound);
        if (ownership == OutputSink::Ownership::Owned) {
            pipe.write = -1;
        } else {
            EXPECT_EQ(::fcntl(pipe.write, F_GETFL), flagsBefore);
        }

        std::uint64_t dropped[2] = {};
        for (int i = 0; i < 400; ++i) {
            const std::size_t writer = static_cast<std::size_t>(i % 2);
            const std::string line = numberedLine(i);
            const auto written = sink.write(line, writer);
            ASSERT_NE(written, OutputSink::Written::Failed) << sink.error();
            if (written == OutputSink::Written::Dropped) {
                dropped[writer] += line.size();
            }
        }
        EXPECT_LE(sink.waiting(), kBound);
        EXPECT_GT(dropped[0], 0u);
        EXPECT_EQ(sink.dropped(0), dropped[0]);
        EXPECT_EQ(sink.dropped(1), dropped[1]);
        // What is given up at the end is counted against the writer that gave it.
        const std::size_t waiting = sink.waiting();
        EXPECT_EQ(sink.abandon(), waiting);
        EXPECT_EQ(sink.dropped(0) + sink.dropped(1), dropped[0] + dropped[1] + waiting);
        EXPECT_EQ(sink.waiting(), 0u);
        // Whole lines only: what the reader got is the lines that went, each complete.
        const std::string got = pipe.take();
        EXPECT_EQ(got.size() % numberedLine(0).size(), 0u);
        EXPECT_TRUE(got.starts_with(numberedLine(0))) << got.substr(0, 100);
    }
}

// The reader resumes: an event loop gives out what waited as room comes, in order and whole, and
// then stops watching.
TEST(OutputSink, AReaderThatResumesGetsEverythingInOrder) {
    Pipe pipe;
    ASSERT_GE(pipe.write, 0);
    const auto sink = std::make_shared<OutputSink>(pipe.write, OutputSink::Ownership::Owned);
    pipe.write = -1;
    const SinkWatcher watcher(sink);
    const auto stream = sinkStream(sink);
    ASSERT_NE(stream, nullptr);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string line = numberedLine(i);
        expected += line;
        std::fputs(line.c_str(), stream.get());
        std::fflush(stream.get());
    }
    ASSERT_GT(sink->waiting(), 0u);

    std::string got;
    const QDeadlineTimer deadline(30'000);
    while (got.size() < expected.size() && !deadline.hasExpired()) {
        got += pipe.take();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(sink->waiting(), 0u);
    EXPECT_EQ(sink->dropped(), 0u);
}

// At the end: the drain waits no longer than it is given for a reader who has stopped, and ends
// as soon as one who reads has it all.
TEST(OutputSink, TheDrainEndsAtItsDeadlineOrWhenAllHasLeft) {
    Pipe stalled;
    OutputSink sink(stalled.write, OutputSink::Ownership::Shared);
    ASSERT_EQ(sink.write(std::string(20000, 'x')), OutputSink::Written::Whole);
    OutputSink* const sinks[] = {&sink};
    const auto began = steady_clock::now();
    EXPECT_FALSE(drainSinks(sinks, [end = began + std::chrono::milliseconds(200)] { return end; }));
    const auto took = steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::seconds(5));

    // The reader resumes, taking what the pipe holds whenever the drain looks at the time.
    std::string got;
    const auto end = steady_clock::now() + std::chrono::seconds(30);
    EXPECT_TRUE(drainSinks(sinks, [&] {
        got += stalled.take();
        return end;
    })) << sink.waiting();
    got += stalled.take();
    EXPECT_EQ(got, std::string(20000, 'x'));
}

}  // namespace
}  // namespace flashupdate::testing
