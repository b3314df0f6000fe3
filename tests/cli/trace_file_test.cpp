// The record of the wire as a file: how deliveries become lines, its header, and how it fails.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runlog/trace_file.h"

namespace flashupdate::testing {
namespace {

using std::chrono::microseconds;

constexpr const char* kHeader = "# flashupdate trace 2: seconds port direction baud bytes";

TraceFile::Start startAtZero() {
    return TraceFile::Start{"flashupdate-cli 9.99", std::chrono::nanoseconds(0),
                            std::chrono::system_clock::now()};
}

QStringList linesOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// What a port's serial control and view hand the trace, in order.
struct Step {
    enum class Kind { Sent, Received, Stage, End };
    Kind kind;
    const char* port;
    long long atMicroseconds;
    std::string bytes;  // a stage's name for Stage
    int baud = 9600;
};

struct Grouping {
    const char* name;
    std::vector<Step> steps;
    // After the header, once the trace is finished.
    QStringList lines;
};

std::string countingBytes(int count, int first = 0) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes += static_cast<char>(first + i);
    }
    return bytes;
}

QString hexOf(const std::string& bytes) {
    QString text;
    for (const char c : bytes) {
        text += QString::asprintf(" %02x", static_cast<unsigned char>(c));
    }
    return text;
}

void PrintTo(const Grouping& grouping, std::ostream* out) {
    *out << grouping.name;
}

using S = Step::Kind;

class TraceGrouping : public ::testing::TestWithParam<Grouping> {};

TEST_P(TraceGrouping, DeliveriesShareLinesAsTheWireCarriedThem) {
    QTemporaryDir dir;
    const QString path = dir.filePath("wire.trace");
    {
        TraceFile trace(path.toStdString(), startAtZero());
        ASSERT_TRUE(trace.ok()) << trace.error();
        for (const Step& step : GetParam().steps) {
            const std::chrono::nanoseconds at = microseconds(step.atMicroseconds);
            if (step.kind == S::Stage) {
                trace.stage(step.port, at, step.bytes);
            } else if (step.kind == S::End) {
                trace.endRun(step.port);
            } else {
                trace.record(step.port, step.kind == S::Sent, at, step.bytes, step.baud);
            }
        }
        EXPECT_TRUE(trace.finish());
    }
    const QStringList lines = linesOf(path);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.mid(2), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TraceGrouping,
    ::testing::Values(
        Grouping{"OneByteAtATimeJoinsUnderTheFirstBytesTime",
                 {{S::Sent, "p", 100, "\x01"},
                  {S::Sent, "p", 1100, "\x02"},
                  {S::Sent, "p", 2100, "\x03"}},
                 {"0.000100 p sent 9600 01 02 03"}},
        Grouping{"ALongDeliveryTakesLinesOf32",
                 {{S::Sent, "p", 5, countingBytes(40)}},
                 {"0.000005 p sent 9600" + hexOf(countingBytes(32)),
                  "0.000005 p sent 9600" + hexOf(countingBytes(8, 32))}},
        Grouping{"ALineFullsUpAndTheNextStartsAtItsFirstBytesDelivery",
                 {{S::Sent, "p", 1, countingBytes(30)}, {S::Sent, "p", 2, countingBytes(5, 30)}},
                 {"0.000001 p sent 9600" + hexOf(countingBytes(32)),
                  "0.000002 p sent 9600" + hexOf(countingBytes(3, 32))}},
        Grouping{
            "TheOtherDirectionBreaksTheLine",
            {{S::Sent, "p", 1, "\x45"}, {S::Received, "p", 2, "E"}, {S::Sent, "p", 3, "X"}},
            {"0.000001 p sent 9600 45", "0.000002 p received 9600 45", "0.000003 p sent 9600 58"}},
        Grouping{"AnotherSpeedBreaksTheLine",
                 {{S::Sent, "p", 1, "\xff", 1200}, {S::Sent, "p", 2, "\x01", 9600}},
                 {"0.000001 p sent 1200 ff", "0.000002 p sent 9600 01"}},
        Grouping{
            "AStageIsACommentAfterTheBytesBeforeIt",
            {{S::Sent, "p", 1, "\x01"}, {S::Stage, "p", 2, "erase"}, {S::Sent, "p", 3, "\x02"}},
            {"0.000001 p sent 9600 01", "# 0.000002 p stage erase", "0.000003 p sent 9600 02"}},
        Grouping{"EachPortGathersItsOwnLine",
                 {{S::Sent, "/dev/a", 1, "\x01"},
                  {S::Sent, "/dev/b", 2, "\x02"},
                  {S::Sent, "/dev/a", 3, "\x03"}},
                 {"0.000001 /dev/a sent 9600 01 03", "0.000002 /dev/b sent 9600 02"}},
        Grouping{"APortsRunEndsItsLineInItsPlace",
                 {{S::Sent, "/dev/b", 1, "\x01"},
                  {S::Sent, "/dev/a", 2, "\x02"},
                  {S::End, "/dev/b", 3, ""},
                  {S::Sent, "/dev/a", 4, "\x03"},
                  {S::Sent, "/dev/b", 5, "\x04"}},
                 {"0.000001 /dev/b sent 9600 01", "0.000002 /dev/a sent 9600 02 03",
                  "0.000005 /dev/b sent 9600 04"}},
        Grouping{"APortNameIsOneWord",
                 {{S::Stage, "my port", 1500000, "boot-loader"}},
                 {"# 1.500000 my\\x20port stage boot-loader"}}),
    [](const ::testing::TestParamInfo<Grouping>& info) { return std::string(info.param.name); });

TEST(TraceFileWriting, HeaderGivesTheDateTheProgramAndTheImage) {
    QTemporaryDir dir;
    const QString path = dir.filePath("wire.trace");
    {
        TraceFile trace(path.toStdString(), startAtZero());
        trace.image("/home/tech/FW 2.IMG", "ab12");
        trace.image("/home/tech/GONE.IMG", "");
    }
    const QStringList lines = linesOf(path);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], kHeader);
    EXPECT_TRUE(
        QRegularExpression("^# date \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d "
                           "program flashupdate-cli 9\\.99$")
            .match(lines[1])
            .hasMatch())
        << lines[1].toStdString();
    EXPECT_EQ(lines[2], "# image /home/tech/FW\\x202.IMG sha256 ab12");
    EXPECT_EQ(lines[3], "# image /home/tech/GONE.IMG unread");
}

TEST(TraceFileWriting, PathsThatCannotHoldATraceSayWhy) {
    QTemporaryDir dir;
    const std::string before = dir.filePath("wire").toStdString();
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/dev/full", std::strerror(ENOSPC)},
        {dir.filePath("none/wire.trace").toStdString(), std::strerror(ENOENT)},
        // The system would write to the part before the NUL.
        {before + std::string("\0.trace", 7), "the name holds a NUL byte"},
    };
    for (const auto& [path, error] : cases) {
        const TraceFile trace(path, startAtZero());
        EXPECT_FALSE(trace.ok()) << path;
        EXPECT_EQ(trace.error(), error) << path;
    }
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(before)));
}

// A file that stops growing halfway through the run (a full disk, a quota): the writer says so,
// once, and the trace is incomplete.
TEST(TraceFileWriting, AWriteThatFailsLaterMakesTheTraceIncomplete) {
    QTemporaryDir dir;
    const QString path = dir.filePath("wire.trace");
    TraceFile trace(path.toStdString(), startAtZero());
    ASSERT_TRUE(trace.ok());
    std::vector<std::string> told;
    trace.setFailureHandler([&told](const std::string& error) { told.push_back(error); });

    // The file size limit stands for the full disk: past it, writes fail with EFBIG.
    struct FileSizeLimit {
        rlimit before{};
        struct sigaction action {};
        FileSizeLimit() {
            getrlimit(RLIMIT_FSIZE, &before);
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction(SIGXFSZ, &ignore, &action);
            rlimit limited = before;
            limited.rlim_cur = 1024;
            setrlimit(RLIMIT_FSIZE, &limited);
        }
        ~FileSizeLimit() {
            setrlimit(RLIMIT_FSIZE, &before);
            sigaction(SIGXFSZ, &action, nullptr);
        }
    };
    {
        const FileSizeLimit limit;
        for (int i = 0; i < 100; ++i) {
            trace.record("p", true, microseconds(i), countingBytes(32), 9600);
        }
    }
    EXPECT_TRUE(trace.failed());
    EXPECT_FALSE(trace.finish());
    EXPECT_EQ(trace.error(), std::strerror(EFBIG));
    EXPECT_EQ(told, std::vector<std::string>{std::strerror(EFBIG)});
    EXPECT_LE(QFileInfo(path).size(), 1024);
}

// Nobody reads the FIFO yet: the start goes on, and the trace says why it has no file.
TEST(TraceFileWriting, AFifoWithoutAReaderDoesNotHoldTheStart) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("wire.fifo").toStdString();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto opening = std::async(std::launch::async, [&path] {
        const TraceFile trace(path, startAtZero());
        return std::make_pair(trace.ok(), trace.error());
    });
    if (opening.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // A reader lets the blocked opening go, so the thread ends with the test.
        const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        opening.wait();
        close(reader);
        FAIL() << "opening the FIFO waited for a reader";
    }
    const auto [ok, error] = opening.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "it is a FIFO that no process reads");
}

// A FIFO with a reader gets the trace. A reader that falls more than the sink's bound behind:
// the writer never waits, whole lines are lost and counted, and the trace marks where, once the
// reader takes lines again.
TEST(TraceFileWriting, AReaderThatFallsBehindLosesWholeLinesMarkedWhereTheyWere) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("wire.fifo").toStdString();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string got;
    const auto take = [&] {
        char chunk[65536];
        ssize_t read = 0;
        while ((read = ::read(reader, chunk, sizeof chunk)) > 0) {
            got.append(chunk, static_cast<std::size_t>(read));
        }
    };
    TraceFile trace(path, startAtZero());
    ASSERT_TRUE(trace.ok()) << trace.error();
    int lines = 0;
    while (trace.droppedBytes() == 0 && lines < 100'000) {
        trace.record("p", true, microseconds(lines++), countingBytes(32), 9600);
    }
    EXPECT_GT(trace.droppedBytes(), 0u);
    EXPECT_FALSE(trace.failed());
    while (!trace.sink()->flush()) {
        take();
    }
    trace.record("p", false, microseconds(lines), "E", 9600);
    EXPECT_FALSE(trace.finish());
    take();
    close(reader);

    const QStringList written = QString::fromStdString(got).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(written.size(), 2);
    EXPECT_EQ(written.first(), kHeader);
    EXPECT_EQ(written.last(),
              QString("%1 p received 9600 45").arg(static_cast<double>(lines) / 1e6, 0, 'f', 6));
    EXPECT_EQ(
        written[written.size() - 2],
        QString("# dropped %1 bytes here: the reader did not keep up").arg(trace.droppedBytes()));
    // Every line before the mark whole, in order.
    for (int i = 2; i < written.size() - 2; ++i) {
        ASSERT_TRUE(written[i].startsWith(
            QString("%1 p sent 9600 00 01 ").arg(static_cast<double>(i - 2) / 1e6, 0, 'f', 6)))
            << written[i].toStdString();
    }
}

}  // namespace
}  // namespace flashupdate::testing
