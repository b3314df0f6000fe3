// The window timers, timer_delay, the reply window, and the receive handler that fills RxData.
#include <gtest/gtest.h>

#include "fakes/fake_port.h"
#include "fakes/virtual_event_loop.h"
#include "serial/line_settings.h"
#include "update/serial_link.h"
#include "update/timers.h"

namespace flashupdate::testing {
namespace {

class TimersTest : public ::testing::Test {
protected:
    VirtualEventLoop loop;
    Timers timers{loop};
    FakePort port{loop};
    SerialLink link{port};

    // As every opening of the procedure has it: each burst raises a receive event.
    TimersTest() { port.setRThreshold(1); }
};

TEST_F(TimersTest, AllStoppedAtCreationAndNoTickWithoutARun) {
    EXPECT_FALSE(timers.Timer1->enabled());
    EXPECT_FALSE(timers.Timer2->enabled());
    EXPECT_FALSE(timers.Timer3->enabled());
    EXPECT_EQ(timers.Timer1->interval(), 8000);
    EXPECT_EQ(timers.Timer2->interval(), 1000);
    EXPECT_EQ(timers.Timer3->interval(), 8000);
    int starts = 0;
    timers.onTimer2 = [&] { ++starts; };
    for (int i = 0; i < 5000; ++i) {
        loop.pumpWait();
    }
    EXPECT_EQ(starts, 0);
    EXPECT_TRUE(link.RxData.empty());
}

TEST_F(TimersTest, DelayLastsItsTimePumpingAndLeavesTimer1Stopped) {
    for (const int pause : {1, 100, 1000, 2000, 32767}) {
        SCOPED_TRACE(pause);
        const Micros before = loop.now();
        const int pumpsBefore = loop.pumpCount();
        timers.timer_delay(pause);
        EXPECT_EQ(loop.now() - before, ms(pause));
        EXPECT_GE(loop.pumpCount() - pumpsBefore, 1);
        EXPECT_FALSE(timers.Timer1->enabled());
    }
}

TEST_F(TimersTest, DelayRestartsAPauseStillRunning) {
    timers.Timer1->setInterval(50);
    timers.Timer1->setEnabled(true);
    loop.advance(ms(40));
    const Micros before = loop.now();
    timers.timer_delay(100);
    EXPECT_EQ(loop.now() - before, ms(100));
}

TEST_F(TimersTest, DataArrivingDuringADelayIsInRxDataAfterIt) {
    port.setPortOpen(true);
    port.reply("abc", ms(30));
    timers.timer_delay(100);
    EXPECT_EQ(link.RxData, "abc");
}

TEST_F(TimersTest, ReplyWindowExpiresFiveSecondsAfterArming) {
    timers.Timer3->setInterval(5000);
    timers.Timer3->setEnabled(true);
    const Micros armed = loop.now();
    while (timers.Timer3->enabled()) {
        loop.pumpWait();
    }
    EXPECT_EQ(loop.now() - armed, ms(5000));
}

TEST_F(TimersTest, StoppedReplyWindowReportsNoTimeOutLater) {
    timers.Timer3->setInterval(5000);
    timers.Timer3->setEnabled(true);
    timers.timer_delay(1000);
    timers.Timer3->setEnabled(false);
    timers.timer_delay(10000);
    EXPECT_FALSE(timers.Timer3->enabled());
    auto* timer3 = dynamic_cast<VirtualEventLoop::VirtualTimer*>(timers.Timer3.get());
    ASSERT_NE(timer3, nullptr);
    EXPECT_EQ(timer3->tickCount(), 0);
}

TEST_F(TimersTest, Timer2TickStopsItAndRunsStart) {
    int starts = 0;
    timers.onTimer2 = [&] {
        EXPECT_FALSE(timers.Timer2->enabled());
        ++starts;
    };
    timers.Timer2->setEnabled(true);
    timers.timer_delay(2500);
    EXPECT_EQ(starts, 1);
}

TEST_F(TimersTest, ReceiveEventsReplaceRxDataAndOtherEventsLeaveIt) {
    port.setPortOpen(true);
    // A reply in two deliveries 400 ms apart is two receive events: only the last is left.
    port.reply("\x01\x02", ms(10));
    port.reply("\x03\x04", ms(410));
    timers.timer_delay(1000);
    EXPECT_EQ(link.RxData, "\x03\x04");

    for (const int code :
         {comEvSend, comEvCTS, comEvDSR, comEvCD, comEvRing, comEvEOF, comEventBreak, comEventFrame,
          comEventOverrun, comEventRxParity, comEventRxOver, comEventTxFull}) {
        port.raiseEvent(code);
        EXPECT_EQ(link.RxData, "\x03\x04") << code;
    }
    // A receive event that finds nothing waiting empties it.
    port.raiseEvent(comEvReceive);
    EXPECT_TRUE(link.RxData.empty());
}

TEST_F(TimersTest, ReceiveEventsRunOnlyInsideAPump) {
    port.setPortOpen(true);
    port.reply("late", ms(10));
    loop.advance(ms(100));
    loop.pumpOnce();
    // Taken from the line in that pump, announced once the line has been quiet.
    loop.advance(ms(ReceiveSettle::kQuietMs));
    EXPECT_TRUE(link.RxData.empty());
    loop.pumpOnce();
    EXPECT_EQ(link.RxData, "late");
}

TEST_F(TimersTest, ABurstCutUpByTheTransportIsOneReceiveEvent) {
    int events = 0;
    port.setOnComm([&] {
        ++events;
        link.comSerial_OnComm();
    });
    // An answer in USB packets or TCP segments a few milliseconds apart, however it is cut.
    for (const Micros gap : {ms(2), ms(16), ms(40)}) {
        SCOPED_TRACE(gap);
        events = 0;
        port.setPortOpen(true);
        const Micros start = loop.now();
        port.reply("\x01", start + ms(5));
        port.reply("\x02\x03", start + ms(5) + gap);
        port.reply("\x04", start + ms(5) + 2 * gap);
        timers.timer_delay(500);
        EXPECT_EQ(events, 1);
        EXPECT_EQ(link.RxData, "\x01\x02\x03\x04");
        port.setPortOpen(false);
    }
}

TEST(LineSettings, ParsesTheTextAndRefusesMalformedOnes) {
    const auto slow = LineSettings::parse("1200,N,8,1");
    EXPECT_EQ(slow.baudRate, 1200);
    EXPECT_EQ(slow.parity, 'N');
    EXPECT_EQ(slow.dataBits, 8);
    EXPECT_EQ(slow.stopBits, 1);
    EXPECT_DOUBLE_EQ(slow.secondsPerByte(), 10.0 / 1200);
    EXPECT_DOUBLE_EQ(LineSettings::parse("9600,e,7,2").secondsPerByte(), 11.0 / 9600);
    EXPECT_EQ(LineSettings::parse("9600,O,8,1.5").stopBits, 15);
    for (const char* bad :
         {"", "9600", "9600,N,8", "9600,N,8,1,1", "fast,N,8,1", "9600,X,8,1", "9600,N,9,1",
          "9600,N,8,3", "-9600,N,8,1", "9600,NN,8,1", "9600 ,N,8,1"}) {
        EXPECT_THROW(LineSettings::parse(bad), SerialError) << bad;
    }
}

}  // namespace
}  // namespace flashupdate::testing
