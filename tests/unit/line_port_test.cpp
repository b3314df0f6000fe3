// The serial control as a port that never waits, on virtual time over the fake line: the pace,
// the drain, a full medium, a line that stops or goes, and closing.
#include <gtest/gtest.h>

#include "fakes/fake_port.h"
#include "support/line_driver.h"

namespace flashupdate::testing {
namespace {

using Ending = LineDriver::Ending;
constexpr Micros kForever = ms(3'600'000);

struct LineRun {
    const char* name;
    const char* settings;
    std::function<void(FakePort&)> arrange;
    std::size_t bytes;
    Ending ending;
    std::vector<std::string> told;
    // The bytes that reach the instrument, and when the last word comes, after the start (a
    // queue is seen to move only when it is looked at, and the stall limit runs from then).
    std::size_t onTheWire;
    Micros endsNoEarlierThan;
    Micros endsWithin;
    // A wake-up for every half kibibyte the line carries, not for every byte; a full medium is
    // looked at again every 10 ms.
    int mostWritables = 20;
};

void PrintTo(const LineRun& run, std::ostream* out) {
    *out << run.name;
}

// A pseudo-terminal or a bridge: a deep buffer that hides its queue.
void hiddenQueue(FakePort& port) {
    port.setDeviceBuffer(16'896, false);
}

class LinePortRun : public ::testing::TestWithParam<LineRun> {};

TEST_P(LinePortRun, KeepsThePaceAndTellsFromTheLoop) {
    const LineRun& run = GetParam();
    VirtualEventLoop loop;
    FakePort port(loop);
    if (run.arrange) {
        run.arrange(port);
    }
    port.setSettings(run.settings);
    LineDriver driver(port.control(), loop);
    std::string bytes(run.bytes, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 13);
    }
    driver.run(bytes, run.ending);
    while (!driver.done() && loop.now() < kForever) {
        loop.pumpWait();
    }
    EXPECT_EQ(driver.told, run.told);
    EXPECT_FALSE(driver.toldFromInsideACall);
    EXPECT_LE(driver.mostAhead, PacedTransmitter::kAheadLimit);
    EXPECT_LE(driver.writables, run.mostWritables);
    ASSERT_EQ(port.wire().size(), run.onTheWire);
    for (std::size_t i = 0; i < run.onTheWire; ++i) {
        ASSERT_EQ(port.wire()[i].value, static_cast<unsigned char>(i * 13)) << i;
    }
    const Micros ended =
        std::chrono::duration_cast<std::chrono::microseconds>(driver.closedAt).count();
    EXPECT_GE(ended, run.endsNoEarlierThan);
    EXPECT_LE(ended, run.endsWithin);
    if (!port.wire().empty() && run.ending == Ending::AfterDrained && run.told[1] == "drained") {
        // Drained is told once the last byte has left the line, within the timer's millisecond.
        const Micros drained =
            std::chrono::duration_cast<std::chrono::microseconds>(driver.drainedAt).count();
        EXPECT_GE(drained, port.wire().back().at);
        EXPECT_LE(drained, port.wire().back().at + ms(2));
    }
    EXPECT_FALSE(port.control().portOpen());
}

// 6,000 bytes take 6.25 s at 9600 baud, 2,000 bytes 16.7 s at 1200 baud.
INSTANTIATE_TEST_SUITE_P(
    Lines, LinePortRun,
    ::testing::Values(LineRun{"uart",
                              "9600,N,8,1",
                              {},
                              6000,
                              Ending::AfterDrained,
                              {"opened", "drained", "closed"},
                              6000,
                              ms(6'250),
                              ms(6'260)},
                      LineRun{"hiddenQueue",
                              "1200,N,8,1",
                              hiddenQueue,
                              2000,
                              Ending::AfterDrained,
                              {"opened", "drained", "closed"},
                              2000,
                              ms(16'666),
                              ms(16'680)},
                      LineRun{"closeDrainsFirst",
                              "9600,N,8,1",
                              {},
                              1000,
                              Ending::AtOnce,
                              {"opened", "closed"},
                              1000,
                              ms(1'041),
                              ms(1'050)},
                      LineRun{"purgedCloseDiscards",
                              "1200,N,8,1",
                              {},
                              1000,
                              Ending::Purged,
                              {"opened", "closed"},
                              1,
                              0,
                              ms(20)},
                      // The device fills while the line stands still for 5 s, then takes the rest.
                      LineRun{"fullMediumIsBackpressure",
                              "9600,N,8,1",
                              [](FakePort& port) { port.stallLine(ms(500), ms(5'500)); },
                              8000,
                              Ending::AfterDrained,
                              {"opened", "drained", "closed"},
                              8000,
                              ms(13'333),
                              ms(13'350)},
                      LineRun{"stalledUart",
                              "9600,N,8,1",
                              [](FakePort& port) { port.stallLine(ms(100), kForever); },
                              8000,
                              Ending::AfterDrained,
                              {"opened", "lost:stalled", "closed"},
                              1024,
                              ms(10'100),
                              ms(11'000)},
                      LineRun{"stalledHiddenQueue",
                              "9600,N,8,1",
                              [](FakePort& port) {
                                  hiddenQueue(port);
                                  port.stallLine(ms(100), kForever);
                              },
                              40'000,
                              Ending::AfterDrained,
                              {"opened", "lost:stalled", "closed"},
                              96 + 16'896,
                              ms(10'100),
                              ms(30'000),
                              1'100},
                      LineRun{"stalledLineCloses",
                              "9600,N,8,1",
                              [](FakePort& port) { port.stallLine(ms(100), kForever); },
                              500,
                              Ending::AtOnce,
                              {"opened", "closed"},
                              500,
                              ms(2'000),
                              ms(2'010)},
                      LineRun{"deviceGone",
                              "9600,N,8,1",
                              [](FakePort& port) { port.loseDevice(ms(300)); },
                              6000,
                              Ending::AfterDrained,
                              {"opened", "lost:gone", "closed"},
                              1024,
                              ms(300),
                              ms(302)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinePort, ABurstIsOneReceiveEventAndAClosedPortIsToldClosed) {
    VirtualEventLoop loop;
    FakePort port(loop);
    LineDriver driver(port.control(), loop);
    driver.run({}, Ending::StaysOpen);
    port.reply("\x01\x02", ms(10));
    port.reply("\x03\x04", ms(20));
    pumpFor(loop, std::chrono::milliseconds(200));
    EXPECT_EQ(driver.received, "\x01\x02\x03\x04");
    EXPECT_EQ(driver.receiveEvents, 1);
    driver.close();
    pumpFor(loop, std::chrono::milliseconds(10));
    // A port that is not open is told closed too, from the loop.
    driver.close();
    EXPECT_EQ(driver.told, (std::vector<std::string>{"opened", "closed"}));
    loop.pumpWaitFor(std::chrono::milliseconds(2));
    EXPECT_EQ(driver.told, (std::vector<std::string>{"opened", "closed", "closed"}));
    EXPECT_FALSE(driver.toldFromInsideACall);
}

}  // namespace
}  // namespace flashupdate::testing
