// The serial control on real pseudo-terminals: bytes unchanged both ways, receive events, line
// settings, the bounded transmit queue, closing, and devices that are missing, busy or gone.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "pty_pair.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/cpu_time.h"
#include "support/line_driver.h"
#include "update/serial_link.h"
#include "update/timers.h"

namespace flashupdate::testing {
namespace {

class LocalLineTest : public ::testing::Test {
protected:
    LocalLineTest() : port(mapTo(pty.slavePath()), events, systemTransports()), link(port) {}

    static PortMap mapTo(const std::string& path) {
        PortMap map;
        map.setDevicePath(1, path);
        map.setDevicePath(2, "/dev/flashupdate-no-such-device");
        return map;
    }

    void openAt(const char* settings) {
        port.setSettings(settings);
        port.setRThreshold(1);
        port.setRTSEnable(false);
        port.setCommPort(1);
        port.setPortOpen(true);
    }

    // Pumps until the condition holds or the time is up.
    template <typename Condition>
    bool pumpUntil(Condition condition, int timeoutMs = kPatienceMs) {
        QElapsedTimer elapsed;
        elapsed.start();
        while (!condition()) {
            if (elapsed.elapsed() > timeoutMs) {
                return false;
            }
            events.pumpWait();
        }
        return true;
    }

    PtyPair pty;
    QtEventLoop events;
    SerialControl port;
    SerialLink link;
};

ByteText everyByteValue() {
    ByteText bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

TEST_F(LocalLineTest, EveryByteValueCrossesUnchangedBothWays) {
    openAt("9600,N,8,1");
    port.output(everyByteValue());
    EXPECT_EQ(pty.receive(256), everyByteValue());

    ByteText received;
    port.setOnComm([&] {
        if (port.commEvent() == comEvReceive) {
            received += port.input();
        }
    });
    pty.send(everyByteValue());
    EXPECT_TRUE(pumpUntil([&] { return received.size() >= 256; }));
    EXPECT_EQ(received, everyByteValue());
}

TEST_F(LocalLineTest, EachReceiveEventReplacesRxData) {
    openAt("9600,N,8,1");
    pty.send("ab");
    ASSERT_TRUE(pumpUntil([&] { return !link.RxData.empty(); }));
    EXPECT_EQ(link.RxData, "ab");
    pty.send("cd");
    ASSERT_TRUE(pumpUntil([&] { return link.RxData != "ab"; }));
    EXPECT_EQ(link.RxData, "cd");
}

TEST_F(LocalLineTest, ReceiveEventsWaitForAPump) {
    openAt("9600,N,8,1");
    pty.send("xyz");
    // Time enough for an event raised without a pump to show, even on a busy machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(kStragglersMs));
    EXPECT_TRUE(link.RxData.empty());
    ASSERT_TRUE(pumpUntil([&] { return !link.RxData.empty(); }));
    EXPECT_EQ(link.RxData, "xyz");
}

TEST_F(LocalLineTest, DiscardingInputDropsBytesNotYetRead) {
    openAt("9600,N,8,1");
    pty.send("stale");
    ASSERT_TRUE(pty.waitUntilArrived(5));
    port.setInBufferCount(0);
    pty.send("fresh");
    ASSERT_TRUE(pumpUntil([&] { return !link.RxData.empty(); }));
    EXPECT_EQ(link.RxData, "fresh");
}

TEST_F(LocalLineTest, SettingsApplyAtOnceAndAcrossReopening) {
    openAt("1200,N,8,1");
    EXPECT_EQ(pty.baudRate(), 1200);
    port.setSettings("19200,N,8,1");
    EXPECT_EQ(pty.baudRate(), 19200);
    port.setPortOpen(false);
    EXPECT_FALSE(port.portOpen());
    port.setSettings("9600,N,8,1");
    port.setPortOpen(true);
    EXPECT_EQ(pty.baudRate(), 9600);
    EXPECT_THROW(port.setSettings("9600,Q,8,1"), SerialError);
}

TEST_F(LocalLineTest, ClosingLetsWrittenBytesLeaveFirst) {
    openAt("1200,N,8,1");
    const ByteText bytes = ByteText(300, 'a') + "X";
    port.output(bytes);
    port.setPortOpen(false);
    EXPECT_EQ(pty.receive(bytes.size()), bytes);
}

TEST_F(LocalLineTest, AFullDeviceHoldsWritesWithNothingLost) {
    // A fast line keeps the test short. The reader starts late, so the pseudo-terminal's buffer
    // fills and writes meet EAGAIN for over a second.
    openAt("921600,N,8,1");
    constexpr std::size_t kCount = 120 * 1024;
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        received = pty.receive(kCount, 30'000);
    });
    int mostAhead = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        port.output(ByteText(1, static_cast<char>((i * 7) & 0xFF)));
        if (i % 1024 == 0) {
            mostAhead = std::max(mostAhead, port.outBufferCount());
        }
    }
    ASSERT_TRUE(pumpUntil([&] { return port.outBufferCount() == 0; }, 30'000));
    reader.join();
    ASSERT_EQ(received.size(), kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(static_cast<unsigned char>(received[i]), (i * 7) & 0xFF) << i;
    }
    EXPECT_TRUE(port.portOpen());
    EXPECT_LE(mostAhead, static_cast<int>(PacedTransmitter::kAheadLimit));
}

TEST_F(LocalLineTest, AnotherReaderOfTheDeviceIsNotAHangUp) {
    // A terminal program left open on the same device takes some of the received bytes, so a
    // read announced by the notifier can find nothing.
    openAt("9600,N,8,1");
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
    pumpUntil([&] { return done.load(); });
    sender.join();
    thief.join();
    EXPECT_TRUE(port.portOpen());
    EXPECT_NO_THROW(port.output("E"));
    EXPECT_EQ(pty.receive(1), "E");
}

TEST_F(LocalLineTest, WritingTheSamePortWhileOpenKeepsItOpen) {
    openAt("9600,N,8,1");
    pty.setBaudRate(B19200);
    port.setCommPort(1);
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(pty.baudRate(), 9600);
    // Another port closes this one; it is used at the next opening.
    port.setCommPort(2);
    EXPECT_FALSE(port.portOpen());
    EXPECT_THROW(port.setPortOpen(true), SerialError);
    port.setCommPort(1);
    port.setPortOpen(true);
    EXPECT_TRUE(port.portOpen());
}

TEST_F(LocalLineTest, AsALinePortItWritesReceivesAndClosesFromTheLoop) {
    port.setSettings("9600,N,8,1");
    LineDriver driver(port, events);
    // More than the pacing lets ahead at once: the rest goes when the port says it may.
    const ByteText bytes = everyByteValue() + everyByteValue() + everyByteValue() +
                           everyByteValue() + everyByteValue();
    std::string arrived;
    std::atomic<bool> read{false};
    std::thread reader([&] {
        arrived = pty.receive(bytes.size(), 30'000);
        read = true;
    });
    driver.run(bytes, LineDriver::Ending::StaysOpen);
    EXPECT_TRUE(pumpUntil([&] { return read.load(); }, 40'000));
    reader.join();
    EXPECT_EQ(arrived, bytes);
    pty.send("answer");
    ASSERT_TRUE(pumpUntil([&] { return driver.received.size() >= 6; }));
    EXPECT_EQ(driver.received, "answer");
    driver.close();
    ASSERT_TRUE(pumpUntil([&] { return driver.done(); }));
    EXPECT_EQ(driver.told, (std::vector<std::string>{"opened", "closed"}));
    EXPECT_FALSE(driver.toldFromInsideACall);
    EXPECT_FALSE(port.portOpen());
}

// The kind a failure carries, or Other when nothing failed.
template <typename Operation>
PortErrorKind failureKind(Operation operation) {
    try {
        operation();
    } catch (const SerialError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no SerialError";
    return PortErrorKind::Other;
}

TEST_F(LocalLineTest, MissingAndBusyDevicesCannotBeOpenedAndSayWhich) {
    port.setCommPort(2);
    EXPECT_EQ(failureKind([&] { port.setPortOpen(true); }), PortErrorKind::Missing);
    EXPECT_FALSE(port.portOpen());

    port.setCommPort(1);
    port.setPortOpen(true);
    SerialControl other(mapTo(pty.slavePath()), events, systemTransports());
    other.setCommPort(1);
    EXPECT_EQ(failureKind([&] { other.setPortOpen(true); }), PortErrorKind::Busy);
    EXPECT_THROW(port.setPortOpen(true), SerialError);  // already open
}

TEST_F(LocalLineTest, DeviceGoneFailsTheNextOperationWithoutSpinning) {
    openAt("9600,N,8,1");
    pty.closeMaster();
    // A few hundred milliseconds of pumping: the hang-up must not keep the CPU busy.
    const double cpuBefore = cpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < 500) {
        events.pumpWait();
    }
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.25);
    EXPECT_EQ(failureKind([&] {
                  for (int i = 0; i < 100'000; ++i) {
                      port.output("data");
                  }
              }),
              PortErrorKind::Gone);
    EXPECT_FALSE(port.portOpen());
}

TEST_F(LocalLineTest, OperationsOnAClosedPort) {
    EXPECT_FALSE(port.portOpen());
    // The set-up before an opening writes these to a closed port.
    EXPECT_NO_THROW(port.setInBufferCount(0));
    EXPECT_NO_THROW(port.setOutBufferCount(0));
    EXPECT_NO_THROW(port.setPortOpen(false));
    EXPECT_TRUE(port.input().empty());
    EXPECT_EQ(failureKind([&] { port.output("E"); }), PortErrorKind::NotOpen);
    EXPECT_THROW(port.outBufferCount(), SerialError);
    EXPECT_THROW(port.setCommPort(5), SerialError);
}

TEST(QtEventLoopTest, WaitsKeepTimeAndSleep) {
    QtEventLoop events;
    Timers timers(events);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    timers.timer_delay(300);
    const auto wall = elapsed.elapsed();
    EXPECT_GE(wall, 299);
    // Ten times the delay: a delay that runs far too long shows, a busy machine's late wake-up
    // does not.
    EXPECT_LT(wall, 3000);
    EXPECT_FALSE(timers.Timer1->enabled());
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.1);

    timers.Timer3->setInterval(200);
    timers.Timer3->setEnabled(true);
    elapsed.restart();
    while (timers.Timer3->enabled()) {
        events.pumpWait();
    }
    EXPECT_GE(elapsed.elapsed(), 199);
}

}  // namespace
}  // namespace flashupdate::testing
