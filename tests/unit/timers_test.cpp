// The window's timers, and the line settings text.
#include <gtest/gtest.h>

#include "fakes/virtual_event_loop.h"
#include "serial/line_settings.h"
#include "serial/serial_error.h"
#include "update/timers.h"

namespace flashupdate::testing {
namespace {

TEST(Timers, AllStoppedAtCreationAndTimer2TicksOnceIntoStart) {
    VirtualEventLoop loop;
    Timers timers{loop};
    EXPECT_FALSE(timers.Timer1->enabled());
    EXPECT_FALSE(timers.Timer2->enabled());
    EXPECT_FALSE(timers.Timer3->enabled());
    EXPECT_EQ(timers.Timer2->interval(), 1000);
    int starts = 0;
    timers.onTimer2 = [&] {
        EXPECT_FALSE(timers.Timer2->enabled());
        ++starts;
    };
    pumpFor(loop, std::chrono::seconds(50));
    EXPECT_EQ(starts, 0);
    timers.Timer2->setEnabled(true);
    pumpFor(loop, std::chrono::milliseconds(2500));
    EXPECT_EQ(starts, 1);
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
