// Writes keep the line's pace on every kind of device, a full device is waited for, and only a
// line that stops for good is given up on. On virtual time, through the fake port's device.
#include <gtest/gtest.h>

#include "fakes/fake_port.h"
#include "fakes/virtual_event_loop.h"

namespace flashupdate::testing {
namespace {

// A UART counts its queue (TIOCOUTQ); a pseudo-terminal or a bridge takes about 16.5 KB and
// says nothing of it.
enum class Device { Uart, HiddenQueue };

struct LineCase {
    const char* settings;
    Device device;
};

class PacedLine : public ::testing::Test {
protected:
    void open(const char* settings, Device device) {
        if (device == Device::HiddenQueue) {
            port.setDeviceBuffer(16'896, false);
        }
        port.setSettings(settings);
        port.setPortOpen(true);
    }

    // Writes count bytes one at a time; returns the most that was ever ahead of the line.
    int writeOneByOne(std::size_t count) {
        int mostAhead = 0;
        for (std::size_t i = 0; i < count; ++i) {
            port.output(ByteText(1, static_cast<char>(i * 13)));
            mostAhead = std::max(mostAhead, port.outBufferCount());
        }
        return mostAhead;
    }

    void expectWireComplete(std::size_t count) {
        ASSERT_EQ(port.wire().size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(port.wire()[i].value, static_cast<unsigned char>(i * 13)) << i;
        }
    }

    VirtualEventLoop loop;
    FakePort port{loop};
};

class LinePace : public PacedLine, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LinePace, HandOverStaysWithinOneKibibyteOfTheLine) {
    open(GetParam().settings, GetParam().device);
    const Micros byteTime =
        static_cast<Micros>(1e6 * LineSettings::parse(GetParam().settings).secondsPerByte());
    constexpr std::size_t kCount = 6000;
    EXPECT_LE(writeOneByOne(kCount), 1024);
    // Handing over the last byte waited for the line, whatever the device could have hidden.
    EXPECT_GE(loop.now(), static_cast<Micros>(kCount - 1024) * byteTime);
    expectWireComplete(kCount);
    // Everything handed over but not yet carried is counted until the line has carried it.
    const int left = port.outBufferCount();
    EXPECT_GT(left, 400);
    loop.advance(static_cast<Micros>(left / 2) * byteTime);
    EXPECT_NEAR(port.outBufferCount(), left - left / 2, 1);
    loop.advance(static_cast<Micros>(left) * byteTime);
    EXPECT_EQ(port.outBufferCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(SpeedsAndDevices, LinePace,
                         ::testing::Values(LineCase{"1200,N,8,1", Device::Uart},
                                           LineCase{"1200,N,8,1", Device::HiddenQueue},
                                           LineCase{"9600,N,8,1", Device::Uart},
                                           LineCase{"9600,N,8,1", Device::HiddenQueue}),
                         [](const auto& info) {
                             return std::string(info.param.settings[0] == '1' ? "At1200"
                                                                              : "At9600") +
                                    (info.param.device == Device::Uart ? "OnAUart"
                                                                       : "OnAHiddenQueue");
                         });

TEST_F(PacedLine, AWriteIntoAFullDeviceHoldsAndResumesWithNothingLost) {
    open("9600,N,8,1", Device::HiddenQueue);
    // Longer than the device's buffer lasts, shorter than the stall limit once it is full.
    port.stallLine(ms(500), ms(20'500));
    constexpr std::size_t kCount = 40'000;
    EXPECT_NO_THROW(writeOneByOne(kCount));
    expectWireComplete(kCount);
    EXPECT_GE(port.wire().back().at, ms(20'500) + static_cast<Micros>(kCount - 480) * 1041);
}

TEST_F(PacedLine, ALineThatStopsPastTheStallLimitFailsTheWrite) {
    for (const Device device : {Device::Uart, Device::HiddenQueue}) {
        VirtualEventLoop stalledLoop;
        FakePort stalled{stalledLoop};
        if (device == Device::HiddenQueue) {
            stalled.setDeviceBuffer(16'896, false);
        }
        stalled.setPortOpen(true);
        stalled.stallLine(ms(100), ms(3'600'000));
        EXPECT_THROW(
            for (int i = 0; i < 40'000; ++i) { stalled.output("x"); }, SerialError);
        // Given up on only after the line has stood still for the whole stall limit.
        EXPECT_GE(stalledLoop.now(), ms(10'100));
        EXPECT_LE(stalledLoop.now(), ms(40'000));
    }
}

}  // namespace
}  // namespace flashupdate::testing
