// The serial control as a port that never waits, on virtual time over the fake line: the pace,
// the drain, a full medium, a line that stops or goes, and closing.
#include <gtest/gtest.h>

#include "fakes/fake_port.h"
#include "support/line_driver.h"

namespace flashupdate::testing {
namespace {

using Ending = LineDriver::Ending;
constexpr Micros kForever = ms(3'600'000);

// A pseudo-terminal or a bridge: a deep buffer that hides its queue.
void hideQueue(FakePort& port) {
    port.setDeviceBuffer(16'896, false);
}

// 6,000 bytes take 6.25 s at 9600 baud, 2,000 bytes 16.7 s at 1200 baud.
TEST(LinePort, KeepsThePaceAndTellsFromTheLoop) {
    const struct {
        const char* name;
        std::function<void(FakePort&)> arrange;  // before opening at 9600 baud
        std::size_t bytes;
        Ending ending;
        const char* told;  // between "opened" and "closed"; nullptr: nothing
        std::size_t onTheWire;
        // When the port is told closed; a queue is seen to move only when looked at, and the
        // stall limit runs from then.
        Micros closedFrom, closedBy;
        // A wake-up for every half kibibyte the line carries; a full medium is looked at every
        // 10 ms.
        int mostWritables = 20;
    } runs[] = {
        {"uart", {}, 6000, Ending::AfterDrained, "drained", 6000, ms(6'250), ms(6'260)},
        {"hiddenQueueAt1200",
         [](FakePort& port) {
             hideQueue(port);
             port.setSettings("1200,N,8,1");
         },
         2000, Ending::AfterDrained, "drained", 2000, ms(16'666), ms(16'680)},
        {"closeDrainsFirst", {}, 1000, Ending::AtOnce, nullptr, 1000, ms(1'041), ms(1'050)},
        {"purgedCloseDiscards", {}, 1000, Ending::Purged, nullptr, 1, 0, ms(5)},
        {"fullMediumIsBackpressure", [](FakePort& port) { port.stallLine(ms(500), ms(5'500)); },
         8000, Ending::AfterDrained, "drained", 8000, ms(13'333), ms(13'350)},
        {"stalledUart", [](FakePort& port) { port.stallLine(ms(100), kForever); }, 8000,
         Ending::AfterDrained, "lost:stalled", 1024, ms(10'100), ms(11'000)},
        {"stalledHiddenQueue",
         [](FakePort& port) {
             hideQueue(port);
             port.stallLine(ms(100), kForever);
         },
         40'000, Ending::AfterDrained, "lost:stalled", 96 + 16'896, ms(10'100), ms(30'000), 1'100},
        {"stalledLineClosesAtTheDrainLimit",
         [](FakePort& port) { port.stallLine(ms(100), kForever); }, 500, Ending::AtOnce, nullptr,
         500, ms(2'000), ms(2'010)},
        {"deviceGone", [](FakePort& port) { port.loseDevice(ms(300)); }, 6000, Ending::AfterDrained,
         "lost:gone", 1024, ms(300), ms(302)},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        VirtualEventLoop loop;
        FakePort port(loop);
        if (run.arrange) {
            run.arrange(port);
        }
        LineDriver driver(port.control(), loop);
        driver.run(std::string(run.bytes, 'P'), run.ending);
        while (!driver.done() && loop.now() < kForever) {
            loop.pumpWait();
        }
        std::vector<std::string> told = {"opened", "closed"};
        if (run.told != nullptr) {
            told.insert(told.begin() + 1, run.told);
        }
        EXPECT_EQ(driver.told, told);
        EXPECT_FALSE(driver.toldFromInsideACall);
        EXPECT_LE(driver.mostAhead, PacedTransmitter::kAheadLimit);
        EXPECT_LE(driver.writables, run.mostWritables);
        EXPECT_EQ(port.wireText(), std::string(run.onTheWire, 'P'));
        EXPECT_GE(loop.now(), run.closedFrom);
        EXPECT_LE(loop.now(), run.closedBy);
        if (told[1] == "drained") {
            // Told once the last byte has left the line, within the timer's milliseconds.
            const auto drained =
                std::chrono::duration_cast<std::chrono::microseconds>(driver.drainedAt);
            EXPECT_GE(drained.count(), port.wire().back().at);
            EXPECT_LE(drained.count(), port.wire().back().at + ms(2));
        }
        EXPECT_FALSE(port.control().portOpen());
    }
}

TEST(LinePort, ABurstIsOneReceiveEventAndOpeningAndClosingAreToldInTurn) {
    VirtualEventLoop loop;
    FakePort port(loop);
    LineDriver driver(port.control(), loop);
    driver.run({}, Ending::StaysOpen);
    port.reply("\x01\x02", ms(10));
    port.reply("\x03\x04", ms(20));
    pumpFor(loop, std::chrono::milliseconds(200));
    EXPECT_EQ(driver.received, "\x01\x02\x03\x04");
    EXPECT_EQ(driver.receiveEvents, 1);
    // Opening while the port closes: it is told closed, then opened again.
    driver.close();
    port.control().beginOpen();
    pumpFor(loop, std::chrono::milliseconds(10));
    EXPECT_EQ(port.openings(), 2);
    // A port that is not open is told closed too.
    driver.close();
    pumpFor(loop, std::chrono::milliseconds(10));
    driver.close();
    pumpFor(loop, std::chrono::milliseconds(10));
    EXPECT_EQ(driver.told,
              (std::vector<std::string>{"opened", "closed", "opened", "closed", "closed"}));
    EXPECT_FALSE(driver.toldFromInsideACall);
}

}  // namespace
}  // namespace flashupdate::testing
