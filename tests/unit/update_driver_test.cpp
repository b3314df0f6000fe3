// The driver around the stages: what Start resets, checks and forms before the line is touched,
// and how each guarded region ends a run.
#include <cstdlib>
#include <tuple>
#include "test_rig.h"

#include "update/image_file.h"

namespace flashupdate::testing {
namespace {

TEST(UpdateDriver, EmptyFileNameResetsResultsAndStopsBeforeThePort) {
    Rig rig;
    rig.view.setLabelCaption(Label::lblBytesT, " 2048");
    rig.view.setLabelCaption(Label::lblFileB, " 512");
    rig.view.setLabelCaption(Label::lblStatus, "FLASH updated successfully  ");
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4,
          Label::lblBytesTransmitted, Label::lblFileSize, Label::lblBytesT, Label::lblFileB}) {
        rig.view.setLabelVisible(label, true);
    }
    const auto writesBefore = rig.view.visibilityWrites().size();

    rig.start();

    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"You must first select a file"});
    EXPECT_EQ(rig.view.messages().front().icon, MessageIcon::None);
    const std::vector<std::string> resets(rig.view.visibilityWrites().begin() + writesBefore,
                                          rig.view.visibilityWrites().end());
    EXPECT_EQ(resets, (std::vector<std::string>{"lblCheckSum1=0", "lblCheckSum2=0",
                                                "lblCheckSum3=0", "lblCheckSum4=0",
                                                "lblBytesTransmitted=0", "lblFileSize=0"}));
    EXPECT_EQ(rig.view.label(Label::lblBytesT).caption, "");
    EXPECT_EQ(rig.view.label(Label::lblFileB).caption, "");
    // The value labels keep their visibility; the status line is not the driver's.
    EXPECT_TRUE(rig.view.label(Label::lblBytesT).visible);
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
    EXPECT_TRUE(rig.port.calls().empty());
}

TEST(UpdateDriver, AWholeRunReportsEachStepInTypesAsItsCaptionsShowIt) {
    Rig rig;
    rig.selectImage(randomBytes(5000));
    rig.start();
    ASSERT_EQ(rig.view.status(), "FLASH updated successfully  ");

    using Stage = UpdateResult::Stage;
    using Erased = UpdateResult::Erased;
    // What moved on, the stage and erasure then, bytes sent of announced.
    using Step = std::tuple<Progress, Stage, Erased, std::uint64_t, std::uint64_t>;
    std::vector<Step> expected = {{Progress::StageEntered, Stage::BootLoader, Erased::No, 0, 16384},
                                  {Progress::StageEntered, Stage::Erase, Erased::No, 0, 16384},
                                  {Progress::MemoryErased, Stage::Erase, Erased::Yes, 0, 16384},
                                  {Progress::StageEntered, Stage::Program, Erased::Yes, 0, 16384}};
    for (std::uint64_t sent = 2048; sent <= 16384; sent += 2048) {
        expected.emplace_back(Progress::BytesSent, Stage::Program, Erased::Yes, sent, 16384);
    }
    expected.emplace_back(Progress::StageEntered, Stage::Checksum, Erased::Yes, 16384, 16384);
    expected.emplace_back(Progress::StageEntered, Stage::Done, Erased::Yes, 16384, 16384);
    std::vector<Step> reported;
    for (const ProgressStep& step : rig.view.progressSteps()) {
        reported.emplace_back(step.what, step.stage, step.erased, step.sent, step.announced);
    }
    EXPECT_EQ(reported, expected);

    // Each step comes with the caption that shows it.
    const auto& steps = rig.view.progressSteps();
    EXPECT_EQ(steps[2].at, rig.view.statusTime("Memory Erased"));
    EXPECT_EQ(steps[3].at, rig.view.statusTime("Sending Program"));
    EXPECT_EQ(steps.back().at, rig.view.statusTime("DONE "));
    std::vector<Micros> countsShown;
    for (const LabelChange& change : rig.view.changes()) {
        if (change.label == Label::lblBytesT && !change.caption.empty()) {
            countsShown.push_back(change.at);
        }
    }
    std::vector<Micros> countsReported;
    for (const ProgressStep& step : steps) {
        if (step.what == Progress::BytesSent) {
            countsReported.push_back(step.at);
        }
    }
    EXPECT_EQ(countsReported, countsShown);
}

TEST(UpdateDriver, BlankFileNamePassesThePrecondition) {
    Rig rig;
    rig.view.txtFileName = " ";
    rig.start();
    ASSERT_EQ(rig.view.messages().size(), 1u);
    // Not the list's selection, so used as it stands.
    EXPECT_EQ(rig.view.messages()[0].text, "Can't find size of  ");
}

TEST(UpdateDriver, MissingImageNamesTheFullPathAndSkipsTheBootLoader) {
    Rig rig;
    rig.view.filFilesPath = rig.imageDir.string();
    rig.view.filFilesFileName = "GONE.IMG";
    rig.view.txtFileName = "GONE.IMG";
    fs::remove(rig.executableDir / "BOOTLOAD.IMG");
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't find size of " +
                                                           (rig.imageDir / "GONE.IMG").string()});
    EXPECT_TRUE(rig.port.calls().empty());
}

TEST(UpdateDriver, DirectoryPathGetsOneSeparator) {
    Rig rig;
    fs::remove(rig.executableDir / "BOOTLOAD.IMG");  // end right after the size query
    // The root already ends in the separator; a subdirectory gets one. In the platform's own
    // spelling: "/" and "/tmp" here, "C:\\" and "C:\\tmp" on Windows.
    const std::string root = rig.root.root_path().string();
    const std::string directory = (rig.root.root_path() / "tmp").string();
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    rig.view.filFilesFileName = rig.view.txtFileName = "no-such-image-here.img";
    for (const std::string& path : {root, directory, directory + separator}) {
        rig.view.filFilesPath = path;
        rig.start();
    }
    const std::string inDirectory =
        "Can't find size of " + directory + separator + "no-such-image-here.img";
    EXPECT_EQ(rig.messageTexts(),
              (std::vector<std::string>{"Can't find size of " + root + "no-such-image-here.img",
                                        inDirectory, inDirectory}));
}

TEST(UpdateDriver, TypedNameDifferingInCaseIsUsedUnchanged) {
    Rig rig;
    rig.selectImage(randomBytes(10));
    rig.view.txtFileName = "prog.img";
    rig.start();
    // Resolved against the working directory, not the list's directory.
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't find size of prog.img"});
}

TEST(UpdateDriver, TooLargeImageIsRefusedBeforeAnythingElse) {
    Rig rig;
    const auto path = rig.selectImage(ByteText(393'217, '\x11'));
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"File too large: " + path.string()});
    EXPECT_TRUE(rig.port.calls().empty());
    EXPECT_EQ(rig.view.status(), "Sending BootLoader");
}

TEST(UpdateDriver, BootLoaderMustBeAnOrdinaryFileNextToTheExecutable) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> arrange;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"only beside the image",
         [](Rig& rig) {
             fs::rename(rig.executableDir / "BOOTLOAD.IMG", rig.imageDir / "BOOTLOAD.IMG");
         },
         "Can't find Boot Loaders"},
        {"a directory of that name",
         [](Rig& rig) {
             fs::remove(rig.executableDir / "BOOTLOAD.IMG");
             fs::create_directory(rig.executableDir / "BOOTLOAD.IMG");
         },
         "Can't find Boot Loaders"},
        {"an empty file: 512 filler bytes would be run",
         [](Rig& rig) { writeFile(rig.executableDir / "BOOTLOAD.IMG", ""); },
         "Can't find Boot Loaders"},
#ifndef _WIN32  // where a symbolic link needs a privilege
        {"a search that fails",
         [](Rig& rig) {
             fs::remove(rig.executableDir / "BOOTLOAD.IMG");
             fs::create_symlink("BOOTLOAD.IMG", rig.executableDir / "BOOTLOAD.IMG");
         },
         " Can't open bootloader"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.selectImage(randomBytes(100));
        c.arrange(rig);
        rig.start();
        EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{c.message});
        EXPECT_TRUE(rig.port.calls().empty());
    }
}

TEST(UpdateDriver, BootLoaderNotNextToTheProgramIsLookedForInTheDataDirectories) {
#ifdef _WIN32
    GTEST_SKIP() << "the XDG data directories are a Linux desktop's";
#else
    Rig rig;
    rig.selectImage(randomBytes(100));
    fs::remove(rig.executableDir / "BOOTLOAD.IMG");
    const fs::path shared = rig.root / "share";
    ::setenv("XDG_DATA_HOME", (rig.root / "home").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", ("relative:" + shared.string()).c_str(), 1);

    // Not found: the diagnostic names every place searched (a relative one is none) and the way
    // to name another file.
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Can't find Boot Loaders"});
    EXPECT_EQ(rig.update.result().reason,
              "Can't find Boot Loaders (BOOTLOAD.IMG is in none of " + rig.executableDir.string() +
                  ", " + (rig.root / "home" / "flashupdate").string() + ", " +
                  (shared / "flashupdate").string() + "; --bootloader names another file)");

    // Installed where a package puts it: found and sent.
    const std::string loader = randomBytes(511, 8);
    fs::create_directories(shared / "flashupdate");
    writeFile(shared / "flashupdate" / "BOOTLOAD.IMG", loader);
    rig.start();
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
    EXPECT_EQ(rig.port.wireText().substr(1, 511), loader);
#endif
}

TEST(UpdateDriver, FileExitsCountsOrdinaryVisibleFilesOnly) {
    Rig rig;
    writeFile(rig.root / ".hidden", "x");
    EXPECT_TRUE(FileExits(rig.executableDir / "BOOTLOAD.IMG"));
    EXPECT_FALSE(FileExits(rig.root / ".hidden"));
    EXPECT_FALSE(FileExits(rig.executableDir));
    EXPECT_FALSE(FileExits(rig.root / "absent"));
    EXPECT_FALSE(FileExits(rig.root / "absent" / "deeper"));
}

TEST(UpdateDriver, PortChoiceFallsBackToCom4) {
    for (const auto& [selected, expected] :
         std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 3}, {4, 4}, {0, 4}}) {
        SCOPED_TRACE(selected);
        Rig rig;
        rig.selectImage(randomBytes(100));
        rig.view.selectedPort = selected;
        rig.start();
        EXPECT_EQ(rig.port.commPort(), expected);
        ASSERT_FALSE(rig.port.wire().empty());
        EXPECT_EQ(rig.port.wire().front().commPort, expected);
    }
}

TEST(UpdateDriver, PortThatCannotOpenReportsRegionThreeAndLeavesStatus) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.view.setLabelCaption(Label::lblStatus, "Press Start to begin download");
    rig.port.failOn("Open");
    rig.start();
    EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{"Error opening Com Port"});
    EXPECT_EQ(rig.view.status(), "Press Start to begin download");
    EXPECT_FALSE(rig.port.portOpen());
}

TEST(UpdateDriver, EachRegionReportsItsOwnMessage) {
    struct Case {
        const char* operation;
        int nthCall;
        std::string message;  // "Can't open " is followed by the image's path
    };
    const std::vector<Case> cases = {
        {"Settings", 1, "Error opening Com Port"},        // line set-up at 1200
        {"Close", 1, "Error opening Com Port"},           // switching to 9600
        {"Output", 3, "Error opening Com Port"},          // the erase command
        {"Output", 5, "Can't open "},                     // first program record
        {"Output:C", 1, " Problem Receiving Check Sum"},  // the checksum request
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " #" + std::to_string(c.nthCall));
        Rig rig;
        const auto image = rig.selectImage(randomBytes(100));
        rig.port.failOn(c.operation, c.nthCall);
        rig.start();
        const std::string expected =
            c.message == "Can't open " ? c.message + image.string() : c.message;
        EXPECT_EQ(rig.messageTexts(), std::vector<std::string>{expected});
        // A failure handler changes nothing else: the port stays as the failing step left it.
        EXPECT_NE(rig.view.status(), "FLASH updated successfully  ");
    }
}

TEST(UpdateDriver, ImageVanishingAfterStartIsSentAsStartReadIt) {
    Rig rig;
    const auto path = rig.selectImage(randomBytes(100));
    rig.loop.setOnPump([&] {
        if (rig.view.status() == "Memory Erased") {
            fs::remove(path);
        }
    });
    rig.start();
    EXPECT_TRUE(rig.messageTexts().empty());
    EXPECT_EQ(rig.instrument.blockNumbers.size(), 1u);
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
}

TEST(UpdateDriver, RunAfterAFailureFindsThePortOpenAndDoesNotReopenIt) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    // The line refuses the first record's "P"; the region leaves the port open.
    rig.port.failOn("Output", 4);
    rig.start();
    ASSERT_TRUE(rig.port.portOpen());
    const int openingsBefore = rig.port.openings();
    rig.start();
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
    // Once at 9600 baud only: the 1200-baud set-up found the port open.
    EXPECT_EQ(rig.port.openings() - openingsBefore, 1);
}

TEST(UpdateDriver, StartInsideARunStartsNothing) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    int nestedPresses = 0;
    rig.loop.setOnPump([&] {
        if (nestedPresses < 3 && rig.view.status() == "Erase Command Sent") {
            ++nestedPresses;
            rig.update.cmdStart_Click();
        }
    });
    rig.start();
    EXPECT_EQ(nestedPresses, 3);
    EXPECT_EQ(rig.view.status(), "FLASH updated successfully  ");
    EXPECT_EQ(rig.instrument.eraseCommands, 1);
    EXPECT_EQ(rig.port.openings(), 2);
    EXPECT_TRUE(rig.view.messages().empty());
    EXPECT_FALSE(rig.update.running());
}

TEST(UpdateDriver, StartFromInsideAMessageBoxOfTheRunStartsNothing) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.checksumAnswer = [](std::uint32_t sum) {
        return ScriptedInstrument::sumAnswer(sum + 1);
    };
    rig.view.onMessage = [&](const Message&) { rig.update.cmdStart_Click(); };
    rig.start();
    EXPECT_EQ(rig.messageTexts(),
              std::vector<std::string>{"FLASH not updated successfully : BAD CHECKSUM"});
    EXPECT_EQ(rig.instrument.eraseCommands, 1);
}

}  // namespace
}  // namespace flashupdate::testing

namespace flashupdate::testing {
namespace {

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(UpdateDriver, FilesOpenedByAFailingRegionAreClosed) {
    for (const auto& [operation, nth] :
         std::vector<std::pair<std::string, int>>{{"Open", 1}, {"Output", 1}, {"Output", 7}}) {
        SCOPED_TRACE(operation + " #" + std::to_string(nth));
        Rig rig;
        rig.selectImage(randomBytes(20000));
        rig.port.failOn(operation, nth);
        const auto before = openDescriptors();
        rig.start();
        ASSERT_EQ(rig.view.messages().size(), 1u);
        EXPECT_EQ(openDescriptors(), before);
    }
}

}  // namespace
}  // namespace flashupdate::testing

namespace flashupdate::testing {
namespace {

TEST(UpdateDriver, AStopInEveryRegionEndsTheRunWithoutABox) {
    for (const char* stage : {"Erase Command Sent", "Sending Program", "Requesting Check Sum"}) {
        SCOPED_TRACE(stage);
        Rig rig;
        rig.selectImage(randomBytes(20000));
        rig.loop.setOnPump([&] {
            if (rig.view.status() == stage) {
                rig.update.stop();
            }
        });
        rig.start();
        EXPECT_EQ(rig.update.result().cause, UpdateResult::Cause::Stopped);
        EXPECT_TRUE(rig.view.messages().empty());
        EXPECT_FALSE(rig.update.running());
    }
}

}  // namespace
}  // namespace flashupdate::testing
