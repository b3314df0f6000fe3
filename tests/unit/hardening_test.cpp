// Whatever the line, the file system or the port does, a run ends, says at most once what went
// wrong, and claims success only when the instrument holds exactly what the file checksum counts.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <map>
#include <ostream>
#include <random>

#include "test_rig.h"
#include "update/number_text.h"

namespace flashupdate::testing {
namespace {

const std::string kSuccess = "FLASH updated successfully  ";

// Every way a run with a selected image and a working boot loader may end on a line that never
// fails: the status it leaves and the one box, if any, that goes with it.
const std::map<std::string, std::vector<std::string>>& knownEndings() {
    static const std::map<std::string, std::vector<std::string>> endings = {
        {"FLASH not Updated",
         {" Programming Error\r\nFLASH not Updated",
          "End Of Erase Not Detected\r\nFLASH not Updated"}},
        {"Check Sum not Received", {" Check Sum not Received"}},
        // An answer of 0x80000000 or more is refused by the region around the checksum.
        {"Requesting Check Sum", {" Problem Receiving Check Sum"}},
        {"FLASH not updated successfully ", {"FLASH not updated successfully : BAD CHECKSUM"}},
        {kSuccess, {}},
    };
    return endings;
}

// The five region messages; "Can't open " is completed with the image's path.
std::vector<std::string> regionMessages(const fs::path& image) {
    return {"Can't find size of " + image.string(), " Can't open bootloader",
            "Error opening Com Port", "Can't open " + image.string(),
            " Problem Receiving Check Sum"};
}

// What the instrument must have been sent for an image: whole records, erased flash past its end.
ByteText recordsOf(const ByteText& image) {
    ByteText sent = image;
    const std::size_t records = (image.size() + 16383) / 16384;
    sent.resize(records * 16384, '\xFF');
    return sent;
}

// A verdict was given: the sums shown are what was sent and what the instrument reported, and
// success is claimed only when the instrument's real sum is the file's.
void expectTruthfulVerdict(const Rig& rig) {
    const std::string status = rig.view.status();
    if (status != kSuccess && status != "FLASH not updated successfully ") {
        return;
    }
    EXPECT_EQ(rig.view.label(Label::lblCheckSum3).caption, hexText(rig.update.FileCheckSum));
    EXPECT_EQ(rig.update.FileCheckSum, rig.instrument.dataSum);
    EXPECT_TRUE(rig.instrument.finished);
    if (status == kSuccess) {
        EXPECT_EQ(rig.view.label(Label::lblCheckSum4).caption, hexText(rig.update.FileCheckSum));
        EXPECT_EQ(rig.view.label(Label::lblCheckSum4).caption, hexText(rig.instrument.dataSum));
        EXPECT_TRUE(rig.view.messages().empty());
    } else {
        EXPECT_NE(rig.view.label(Label::lblCheckSum4).caption,
                  rig.view.label(Label::lblCheckSum3).caption);
    }
}

// Bytes that look like answers more often than chance would have them: the erase answer byte and
// the bytes of the true sum turn up among the noise.
ByteText noise(std::mt19937& random, const ByteText& likely) {
    ByteText bytes(random() % 9, '\0');
    for (auto& byte : bytes) {
        const auto pick = random() % 4;
        if (pick == 0) {
            byte = 'E';
        } else if (pick == 1 && !likely.empty()) {
            byte = likely[random() % likely.size()];
        } else {
            byte = static_cast<char>(random() & 0xFF);
        }
    }
    return bytes;
}

Micros noiseDelay(std::mt19937& random) {
    return ms(static_cast<double>(random() % 7001));
}

ByteText sumBytes(std::uint32_t sum) {
    return ScriptedInstrument::sumAnswer(sum).front().bytes;
}

TEST(Hardening, GarbageFromTheInstrumentNeverCrashesHangsOrClaimsSuccessFalsely) {
    constexpr unsigned kTrials = 300;
    std::map<std::string, int> seen;
    for (unsigned trial = 1; trial <= kTrials; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::mt19937 random(trial);
        Rig rig;
        // Up to three records, so that the last one is often partly erased flash.
        const ByteText image = randomBytes(random() % 40000, trial);
        rig.selectImage(image);
        const ByteText trueSum = sumBytes(byteSum(recordsOf(image)));

        rig.instrument.eraseAnswers.clear();
        const auto attempts = 1 + random() % 3;
        for (unsigned a = 0; a < attempts; ++a) {
            Answer answer;
            for (auto chunks = random() % 4; chunks > 0; --chunks) {
                answer.push_back({noise(random, trueSum), noiseDelay(random)});
            }
            rig.instrument.eraseAnswers.push_back(answer);
        }

        // Now and then the true sum, alone or among noise; otherwise noise only.
        Answer checksum;
        const bool honest = random() % 3 == 0;
        for (auto chunks = random() % 4; chunks > 0; --chunks) {
            checksum.push_back({noise(random, trueSum), noiseDelay(random)});
        }
        const Micros honestDelay = noiseDelay(random);
        rig.instrument.checksumAnswer = [checksum, honest, honestDelay](std::uint32_t sum) {
            Answer answer = checksum;
            if (honest) {
                answer.push_back(ScriptedInstrument::sumAnswer(sum, honestDelay).front());
            }
            return answer;
        };

        // Bytes nobody asked for, anywhere in the run.
        for (auto unsolicited = random() % 7; unsolicited > 0; --unsolicited) {
            const Micros at = ms(static_cast<double>(random() % 30000));
            rig.port.reply(noise(random, trueSum), at);
        }

        rig.start();

        ASSERT_LE(rig.view.messages().size(), 1u);
        const std::string status = rig.view.status();
        const auto ending = knownEndings().find(status);
        ASSERT_NE(ending, knownEndings().end()) << "unknown ending: " << status;
        if (ending->second.empty()) {
            EXPECT_TRUE(rig.view.messages().empty());
        } else {
            ASSERT_EQ(rig.view.messages().size(), 1u) << status;
            EXPECT_NE(std::find(ending->second.begin(), ending->second.end(),
                                rig.view.messages()[0].text),
                      ending->second.end())
                << status << " / " << rig.view.messages()[0].text;
        }
        expectTruthfulVerdict(rig);
        EXPECT_FALSE(rig.update.running());
        ++seen[status];
    }
    // The trials reach every ending, so the invariants above were tested on each of them.
    for (const auto& [status, messages] : knownEndings()) {
        EXPECT_GT(seen[status], 0) << "no trial ended in: " << status;
    }
}

// The image is rewritten after Start has read it: before the transfer, while the instrument
// erases, or in the middle of the second record.
struct Rewrite {
    const char* name;
    std::size_t before;
    std::size_t after;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Rewrite& rewrite, std::ostream* out) {
    *out << rewrite.name << " " << rewrite.before << " -> " << rewrite.after;
}

class ImageChangedAfterStart : public ::testing::TestWithParam<Rewrite> {};

TEST_P(ImageChangedAfterStart, TheRunSendsAndSumsTheImageAsStartReadIt) {
    for (const bool duringTransfer : {false, true}) {
        SCOPED_TRACE(duringTransfer ? "during the transfer" : "during the erase");
        Rig rig;
        const ByteText original = randomBytes(GetParam().before, 3);
        const auto path = rig.selectImage(original);
        bool rewritten = false;
        rig.loop.setOnPump([&] {
            const bool due = duringTransfer ? rig.instrument.programData.size() >= 8192
                                            : rig.view.status() == "Memory Erased";
            if (!rewritten && due) {
                rewritten = true;
                writeFile(path, randomBytes(GetParam().after, 4));
            }
        });
        rig.start();
        ASSERT_TRUE(rewritten);
        EXPECT_TRUE(rig.view.messages().empty()) << rig.view.messages().front().text;
        EXPECT_EQ(rig.instrument.programData, recordsOf(original));
        EXPECT_EQ(rig.update.FileCheckSum, byteSum(recordsOf(original)));
        EXPECT_EQ(rig.view.label(Label::lblFileB).caption, " " + std::to_string(original.size()));
        EXPECT_EQ(rig.view.status(), kSuccess);
        expectTruthfulVerdict(rig);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageChangedAfterStart,
                         ::testing::Values(Rewrite{"grows", 100, 5 * 16384 + 17},
                                           Rewrite{"growsPastTheLastRecord", 100, 24 * 16384 + 1},
                                           Rewrite{"shrinks", 3 * 16384 + 1, 10},
                                           Rewrite{"becomesEmpty", 20000, 0},
                                           Rewrite{"sameSizeNewBytes", 20000, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Hardening, DirectoryGivenAsTheImageIsNotSizedAndTheLineIsUntouched) {
    Rig rig;
    fs::create_directory(rig.imageDir / "FOLDER.IMG");
    rig.view.filFilesPath = rig.imageDir.string();
    rig.view.filFilesFileName = rig.view.txtFileName = "FOLDER.IMG";
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't find size of " +
                                                           (rig.imageDir / "FOLDER.IMG").string()});
    EXPECT_TRUE(rig.port.calls().empty());
}

TEST(Hardening, FifoGivenAsTheImageIsNotSizedAndTheLineIsUntouched) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no named pipes in the file system";
#else
    Rig rig;
    const fs::path fifo = rig.imageDir / "PIPE.IMG";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    rig.view.filFilesPath = rig.imageDir.string();
    rig.view.filFilesFileName = rig.view.txtFileName = "PIPE.IMG";
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't find size of " + fifo.string()});
    EXPECT_TRUE(rig.port.calls().empty());
#endif
}

TEST(Hardening, ImageReplacedByADirectoryOrUnreadableAfterStartIsSentAsRead) {
    Rig rig;
    const ByteText original = randomBytes(20000);
    const auto path = rig.selectImage(original);
    rig.loop.setOnPump([&] {
        if (rig.view.status() == "Erase Command Sent" && fs::is_regular_file(path)) {
            fs::remove(path);
            fs::create_directory(path);
        }
    });
    rig.start();
    EXPECT_TRUE(rig.messageTexts().empty());
    EXPECT_EQ(rig.instrument.programData, recordsOf(original));
    EXPECT_EQ(rig.view.status(), kSuccess);
}

TEST(Hardening, ImageThatCannotBeReadIsRefusedBeforeThePortIsTouched) {
#ifdef _WIN32
    GTEST_SKIP() << "on Windows no permission std::filesystem sets keeps the owner from reading";
#else
    if (::geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind the superuser";
    }
#endif
    Rig rig;
    const auto path = rig.selectImage(randomBytes(20000));
    fs::permissions(path, fs::perms::none);
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't open " + path.string()});
    EXPECT_TRUE(rig.port.calls().empty());
}

// The operation a recorded call belongs to, as failOn names it.
std::string operationOf(const std::string& call) {
    if (call == "PortOpen=1") {
        return "Open";
    }
    if (call == "PortOpen=0") {
        return "Close";
    }
    if (call == "OutBufferCount?" || call == "Input") {
        return call;
    }
    if (call.starts_with("Output")) {
        return "Output";
    }
    return call.substr(0, call.find('='));
}

// How often a clean run of the image calls each operation.
std::map<std::string, int> callCounts(const ByteText& image) {
    Rig rig;
    rig.selectImage(image);
    rig.start();
    EXPECT_EQ(rig.view.status(), kSuccess);
    std::map<std::string, int> counts;
    for (const auto& call : rig.port.calls()) {
        ++counts[operationOf(call)];
    }
    return counts;
}

// 1 to count: all of them when few, otherwise the first and last few and a stride between.
std::vector<int> spread(int count) {
    std::vector<int> picks;
    for (int n = 1; n <= count; ++n) {
        if (count <= 40 || n <= 8 || n > count - 4 || n % 997 == 0 || n % 16386 <= 4) {
            picks.push_back(n);
        }
    }
    return picks;
}

TEST(Hardening, EveryPortOperationFailingEndsInExactlyOneRegionMessage) {
    const ByteText image = randomBytes(2 * 16384 + 100, 9);
    const auto counts = callCounts(image);
    for (const std::string operation : {"Output", "Close", "Open", "Settings", "CommPort",
                                        "RTSEnable", "InBufferCount", "OutBufferCount"}) {
        ASSERT_TRUE(counts.contains(operation)) << operation << " is never called";
        for (const int n : spread(counts.at(operation))) {
            SCOPED_TRACE(operation + " #" + std::to_string(n));
            Rig rig;
            const auto path = rig.selectImage(image);
            rig.port.failOn(operation, n);
            rig.start();
            // "X" and the closing after it come once both sums are known: the verdict stands.
            if ((operation == "Output" || operation == "Close") && n == counts.at(operation)) {
                EXPECT_TRUE(rig.view.messages().empty());
                EXPECT_EQ(rig.view.status(), kSuccess);
                continue;
            }
            ASSERT_EQ(rig.view.messages().size(), 1u);
            const auto regions = regionMessages(path);
            EXPECT_NE(std::find(regions.begin(), regions.end(), rig.view.messages()[0].text),
                      regions.end())
                << rig.view.messages()[0].text;
            EXPECT_NE(rig.view.status(), kSuccess);
            EXPECT_FALSE(rig.update.running());
        }
    }
}

TEST(Hardening, OutputFailingReportsTheRegionItFailedIn) {
    const ByteText image = randomBytes(2 * 16384 + 100, 9);
    const int outputs = callCounts(image).at("Output");
    // Two boot loader halves and "E"; three records of "P", block number and the data in writes
    // at the line's pace; "C" and "X".
    ASSERT_GT(outputs, 3 + 3 * (2 + 8) + 2);
    for (const int n : spread(outputs)) {
        SCOPED_TRACE("Output #" + std::to_string(n));
        Rig rig;
        const auto path = rig.selectImage(image);
        rig.port.failOn("Output", n);
        rig.start();
        const std::string expected = n <= 3             ? "Error opening Com Port"
                                     : n <= outputs - 2 ? "Can't open " + path.string()
                                     : n == outputs - 1 ? " Problem Receiving Check Sum"
                                                        : "";  // "X": after the answer
        EXPECT_EQ(rig.messageTexts(),
                  expected.empty() ? std::vector<std::string>{} : std::vector{expected});
    }
}

TEST(Hardening, ReopeningAt9600FailingIsAComPortError) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.port.failOn("Open", 2);
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Error opening Com Port"});
    EXPECT_EQ(rig.instrument.eraseCommands, 0);
    EXPECT_EQ(rig.view.status(), "Sending Boot Loader");
}

}  // namespace
}  // namespace flashupdate::testing
