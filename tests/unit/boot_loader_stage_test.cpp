// Loading the boot loader at 1200 baud and switching the line to 9600 baud.
#include <algorithm>

#include "test_rig.h"

namespace flashupdate::testing {
namespace {

std::vector<std::string> callsUntil(const std::vector<std::string>& calls, std::size_t from,
                                    const std::string& last) {
    std::vector<std::string> slice;
    for (std::size_t i = from; i < calls.size(); ++i) {
        slice.push_back(calls[i]);
        if (calls[i] == last) {
            break;
        }
    }
    return slice;
}

TEST(BootLoaderStage, SendsSyncByteAndFirst511BytesInTwoHalves) {
    struct Case {
        const char* name;
        ByteText file;
        ByteText expected;  // what follows the added 0xFF
    };
    const ByteText longFile = randomBytes(2000, 3);
    ByteText allValues;
    for (int i = 0; i < 511; ++i) {
        allValues += static_cast<char>((i * 37 + 128) & 0xFF);
    }
    const ByteText shortFile = randomBytes(100, 4);
    const std::vector<Case> cases = {
        {"longer file: only the first 511 bytes", longFile, longFile.substr(0, 511)},
        {"byte values 0 and 128 to 255 unchanged", allValues, allValues},
        {"file starting with 0xFF", ByteText(511, '\xFF'), ByteText(511, '\xFF')},
        {"shorter file: erased flash past its end", shortFile, shortFile + ByteText(411, '\xFF')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        writeFile(rig.executableDir / "BOOTLOAD.IMG", c.file);
        rig.selectImage(randomBytes(10));
        rig.start();
        EXPECT_EQ(rig.wireAt(1200), "\xFF" + c.expected);
        EXPECT_EQ(rig.instrument.bootLoader.size(), 512u);
        std::vector<std::string> writes;
        for (const auto& call : rig.port.calls()) {
            if (call == "Settings=9600,N,8,1") {
                break;
            }
            if (call.starts_with("Output[")) {
                writes.push_back(call);
            }
        }
        EXPECT_EQ(writes, (std::vector<std::string>{"Output[256]", "Output[256]"}));
    }
}

TEST(BootLoaderStage, LineSetUpAndSwitchHappenInOrder) {
    Rig rig;
    rig.selectImage(randomBytes(10));
    rig.view.selectedPort = 3;
    rig.start();
    const auto& calls = rig.port.calls();
    EXPECT_EQ(callsUntil(calls, 0, "PortOpen=1"),
              (std::vector<std::string>{"Settings=1200,N,8,1", "RTSEnable=0", "InBufferCount=0",
                                        "OutBufferCount=0", "CommPort=3", "PortOpen=1"}));
    const auto close = std::find(calls.begin(), calls.end(), "PortOpen=0") - calls.begin();
    EXPECT_EQ(callsUntil(calls, static_cast<std::size_t>(close), "Output:E"),
              (std::vector<std::string>{"PortOpen=0", "Settings=9600,N,8,1", "RTSEnable=0",
                                        "InBufferCount=0", "OutBufferCount=0", "PortOpen=1",
                                        "InBufferCount=0", "InBufferCount=0", "Output:E"}));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "CommPort=3"), 1);
}

TEST(BootLoaderStage, WaitsAsTheInstrumentNeeds) {
    Rig rig;
    rig.selectImage(randomBytes(10));
    rig.start();
    const auto& wire = rig.port.wire();
    const double byteUs = 10.0 / 1200 * 1e6;
    // The second half is handed over 1000 ms after the first, queued behind it on the line.
    const Micros firstHanded = static_cast<Micros>(wire[0].at - byteUs);
    EXPECT_NEAR(static_cast<double>(wire[511].at - firstHanded), 512 * byteUs, 512.0);
    const Micros lastBootByte = wire[511].at;
    const Micros eraseSent = rig.view.statusTime("Erase Command Sent");
    // Drained (within one heartbeat), then 2000 ms, closed, reopened, then 1000 ms.
    EXPECT_GE(eraseSent - lastBootByte, ms(3000));
    EXPECT_LE(eraseSent - lastBootByte, ms(3000) + VirtualEventLoop::kHeartbeat);
    EXPECT_GE(rig.view.statusTime("Sending Boot Loader"), 0);
    EXPECT_LT(rig.view.statusTime("Sending Boot Loader"), wire[0].at);
}

TEST(BootLoaderStage, WhateverTheInstrumentSaysMeanwhileIsDiscarded) {
    Rig rig;
    rig.selectImage(randomBytes(10));
    rig.instrument.eraseAnswers = {{}};  // silent: the erase stage must not see the chatter
    rig.port.reply("E noise", ms(500));
    rig.port.reply("EEEE", ms(3000));
    rig.start();
    EXPECT_EQ(rig.instrument.eraseCommands, 2);
    EXPECT_EQ(rig.view.messages().at(0).text, " Programming Error\r\nFLASH not Updated");
}

TEST(BootLoaderStage, StatusShowsBeforeTheFirstByteAndStays) {
    Rig rig;
    rig.selectImage(randomBytes(10));
    rig.view.setLabelVisible(Label::lblStatus, false);
    rig.port.failOn("Close");  // the switch to 9600 fails
    rig.start();
    EXPECT_TRUE(rig.view.label(Label::lblStatus).visible);
    EXPECT_EQ(rig.view.status(), "Sending Boot Loader");
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Error opening Com Port"});
    // The failure leaves the port as it was: open at 1200 baud.
    EXPECT_TRUE(rig.port.portOpen());
    EXPECT_EQ(rig.port.settings().baudRate, 1200);
}

}  // namespace
}  // namespace flashupdate::testing
