// The serial control on real pseudo-terminals, driven from Qt's loop as a port that never waits:
// bytes unchanged both ways through a full device, line settings, discarding input, and devices
// that are missing, busy or gone.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "pty_pair.h"
#include "run_until.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/cpu_time.h"
#include "support/line_driver.h"

namespace flashupdate::testing {
namespace {

class LocalLineTest : public ::testing::Test {
protected:
    LocalLineTest() : port(mapTo(pty.slavePath()), events, systemTransports()) {}

    static PortMap mapTo(const std::string& path) {
        PortMap map;
        map.setDevicePath(1, path);
        map.setDevicePath(2, "/dev/flashupdate-no-such-device");
        return map;
    }

    // Opens Com1 and writes bytes; the first word the port tells.
    std::string open(const char* settings, ByteText bytes = {},
                     LineDriver::Ending ending = LineDriver::Ending::StaysOpen) {
        port.setSettings(settings);
        port.setRTSEnable(false);
        port.setCommPort(1);
        const std::size_t before = driver.told.size();
        driver.run(std::move(bytes), ending);
        runUntil([&] { return driver.told.size() > before; });
        return driver.told.size() > before ? driver.told[before] : std::string();
    }
    void close() {
        driver.close();
        ASSERT_TRUE(runUntil([&] { return driver.done(); }));
    }

    PtyPair pty;
    QtEventLoop events;
    SerialControl port;
    LineDriver driver{port, events};
};

TEST_F(LocalLineTest, EveryByteValueCrossesBothWaysAndAFullDeviceHoldsWritesWithNothingLost) {
    // A fast line keeps the test short. The reader starts late, so the pseudo-terminal's buffer
    // fills and writes meet EAGAIN for over a second: the rest goes when the port says it may,
    // and meanwhile the port still receives.
    constexpr std::size_t kCount = 120 * 1024;
    ByteText bytes(kCount, '\0');
    for (std::size_t i = 0; i < kCount; ++i) {
        // Every byte value: 7 and 256 have no common factor.
        bytes[i] = static_cast<char>((i * 7) & 0xFF);
    }
    std::string arrived;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        arrived = pty.receive(kCount, 30'000);
    });
    EXPECT_EQ(open("921600,N,8,1", bytes, LineDriver::Ending::AfterDrained), "opened");
    pty.send(everyByteValue());
    EXPECT_TRUE(runUntil([&] { return driver.received.size() >= 256; }));
    EXPECT_TRUE(runUntil([&] { return driver.done(); }, 40'000));
    reader.join();
    EXPECT_EQ(driver.received, everyByteValue());
    EXPECT_EQ(arrived, bytes);
    EXPECT_EQ(driver.told, (std::vector<std::string>{"opened", "drained", "closed"}));
    EXPECT_FALSE(driver.toldFromInsideACall);
    EXPECT_GT(driver.heldBack, 0) << "the device was never full";
    EXPECT_LE(driver.mostAhead, PacedTransmitter::kAheadLimit);
    EXPECT_FALSE(port.portOpen());
}

TEST_F(LocalLineTest, DiscardingInputDropsBytesNotYetTold) {
    ASSERT_EQ(open("9600,N,8,1"), "opened");
    pty.send("stale");
    ASSERT_TRUE(pty.waitUntilArrived(5));
    port.purgeInput();
    pty.send("fresh");
    ASSERT_TRUE(runUntil([&] { return driver.received.size() >= 5; }));
    EXPECT_EQ(driver.received, "fresh");
}

TEST_F(LocalLineTest, SettingsApplyAtOnceAndAcrossReopeningAndAnotherPortLetsItGo) {
    ASSERT_EQ(open("1200,N,8,1"), "opened");
    EXPECT_EQ(pty.speed(), B1200);
    port.setSettings("19200,N,8,1");
    EXPECT_EQ(pty.speed(), B19200);
    // Another program changed the line: choosing the same port keeps it open, with our settings.
    pty.setSpeed(B1200);
    port.setCommPort(1);
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(pty.speed(), B19200);
    close();
    EXPECT_EQ(open("9600,N,8,1"), "opened");
    EXPECT_EQ(pty.speed(), B9600);
    port.setCommPort(2);
    EXPECT_FALSE(port.portOpen());
}

TEST_F(LocalLineTest, AnotherReaderOfTheDeviceIsNotAHangUp) {
    // A terminal program left open on the same device takes some of the received bytes, so a
    // read announced by the notifier can find nothing.
    ASSERT_EQ(open("9600,N,8,1"), "opened");
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < 500; ++i) {
            pty.send("abcd");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
    });
    std::thread thief([&] {
        while (!done) {
            pty.stealInput();
        }
    });
    runUntil([&] { return done.load(); });
    sender.join();
    thief.join();
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(port.write("E"), 1u);
    EXPECT_EQ(pty.receive(1), "E");
    EXPECT_EQ(driver.told, std::vector<std::string>{"opened"});
}

TEST_F(LocalLineTest, MissingAndBusyDevicesCannotBeOpenedAndSayWhich) {
    port.setCommPort(2);
    driver.run({}, LineDriver::Ending::StaysOpen);
    ASSERT_TRUE(runUntil([&] { return !driver.told.empty(); }));
    EXPECT_EQ(driver.told, std::vector<std::string>{"open-failed:missing"});
    EXPECT_FALSE(port.portOpen());

    ASSERT_EQ(open("9600,N,8,1"), "opened");
    SerialControl other(mapTo(pty.slavePath()), events, systemTransports());
    LineDriver otherDriver(other, events);
    otherDriver.run({}, LineDriver::Ending::StaysOpen);
    ASSERT_TRUE(runUntil([&] { return !otherDriver.told.empty(); }));
    EXPECT_EQ(otherDriver.told, std::vector<std::string>{"open-failed:busy"});
}

// The far end goes on an idle line (false) or while the device is full and the port holds writes
// back (true). Either way the hang-up is told well within the stall limit, the loop sleeps
// meanwhile, and the writes held back are not offered again.
class DeviceGone : public LocalLineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeviceGone, IsToldWithoutSpinningAndNoWriteIsOfferedAgain) {
    // Nobody reads the far end: far more than the pseudo-terminal buffers, at a fast line's pace.
    ASSERT_EQ(open("921600,N,8,1", ByteText(GetParam() ? 64 * 1024 : 0, 'U')), "opened");
    ASSERT_TRUE(runUntil([&] { return !GetParam() || driver.heldBack >= 2; }));
    pty.closeMaster();
    const double cpuBefore = cpuSeconds();
    EXPECT_TRUE(runUntil([&] { return driver.done(); }, 5'000));
    const int writables = driver.writables;
    // Half a second more of the loop: the hang-up must not keep the CPU busy.
    runUntil([] { return false; }, 500);
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.25);
    EXPECT_EQ(driver.told, (std::vector<std::string>{"opened", "lost:gone", "closed"}));
    EXPECT_EQ(driver.writables, writables);
    EXPECT_FALSE(port.portOpen());
}

INSTANTIATE_TEST_SUITE_P(IdleOrFull, DeviceGone, ::testing::Bool());

TEST_F(LocalLineTest, OperationsOnAClosedPort) {
    EXPECT_FALSE(port.portOpen());
    // The set-up before an opening discards on a closed port.
    EXPECT_NO_THROW(port.purgeInput());
    EXPECT_NO_THROW(port.purgeOutput());
    EXPECT_EQ(port.room(), 0u);
    EXPECT_EQ(port.notCarried(), 0u);
    try {
        port.write("E");
        ADD_FAILURE() << "a closed port took a write";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.kind(), PortErrorKind::NotOpen);
    }
    EXPECT_THROW(port.setCommPort(5), SerialError);
}

TEST(QtEventLoopTest, TimersTickOnTimeAndTheLoopSleeps) {
    QtEventLoop events;
    const std::unique_ptr<Timer> timer = events.createTimer();
    int ticks = 0;
    timer->setOnTick([&] {
        timer->setEnabled(false);
        ++ticks;
    });
    const double cpuBefore = cpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    timer->setInterval(300);
    timer->setEnabled(true);
    ASSERT_TRUE(runUntil([&] { return ticks > 0; }));
    const auto wall = elapsed.elapsed();
    EXPECT_GE(wall, 299);
    // Ten times the interval: a timer that runs far too long shows, a busy machine's late
    // wake-up does not.
    EXPECT_LT(wall, 3000);
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.1);
    EXPECT_EQ(ticks, 1);
}

}  // namespace
}  // namespace flashupdate::testing
