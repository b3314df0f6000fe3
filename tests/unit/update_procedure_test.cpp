// What Start does in the window, on fakes and virtual time: the files it reads and the refusals
// before the line is touched, and the captions, labels and boxes each ending shows. How the run
// itself behaves on the line is the machine's, tested in update_machine_test.cpp.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <string>

#include "fakes/fake_port.h"
#include "fakes/scripted_instrument.h"
#include "fakes/virtual_event_loop.h"
#include "support/recording_view.h"
#include "support/test_files.h"
#include "update/image_file.h"
#include "update/number_text.h"
#include "update/texts.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {
namespace {

namespace fs = std::filesystem;

// One window's worth of update machinery on fakes: virtual clock, fake port with a scripted
// instrument, recording view, and a scratch directory standing for the executable's directory.
class Rig {
public:
    Rig()
        : root(fs::temp_directory_path() /
               ("flashupdate-test-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                std::to_string(reinterpret_cast<std::uintptr_t>(this)))),
          executableDir(root / "bin"),
          imageDir(root / "images"),
          update(view, port, loop, executableDir) {
        fs::create_directories(executableDir);
        fs::create_directories(imageDir);
        port.setInstrument(&instrument);
        writeFile(executableDir / "BOOTLOAD.IMG", randomBytes(600, 7));
    }
    ~Rig() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Selects an image in the file list, as the operator's click does.
    fs::path selectImage(const ByteText& bytes, const std::string& name = "PROG.IMG") {
        const fs::path path = imageDir / name;
        writeFile(path, bytes);
        view.select(imageDir.string(), name);
        return path;
    }

    // Presses Start and runs the loop until the run has ended.
    void start() {
        update.cmdStart_Click();
        while (update.running() && !loop.ranAway()) {
            loop.pumpWait();
        }
        ASSERT_FALSE(loop.ranAway()) << "a wait never ended";
    }

    fs::path root;
    fs::path executableDir;
    fs::path imageDir;
    VirtualEventLoop loop;
    FakePort port{loop};
    RecordingView view{[this] { return loop.now(); }};
    ScriptedInstrument instrument;
    UpdateProcedure update;
};

const std::string kSuccess = texts::kUpdatedSuccessfully;

// The instrument answers the checksum request with these bytes; none: silence.
std::function<void(Rig&)> checksumAnswer(const ByteText& bytes) {
    return [bytes](Rig& rig) {
        rig.instrument.checksumAnswer = [bytes](std::uint32_t) {
            return bytes.empty() ? Answer{} : Answer{{bytes, ms(50)}};
        };
    };
}

// The instrument answers every erase command with these bytes; none: silence.
std::function<void(Rig&)> eraseAnswer(const ByteText& bytes) {
    return [bytes](Rig& rig) {
        rig.instrument.eraseAnswers = {bytes.empty() ? Answer{} : Answer{{bytes, ms(300)}}};
    };
}

const std::vector<std::string> kToTheRequest = {texts::kSendingBootLoader, texts::kEraseCommandSent,
                                                texts::kMemoryErased, texts::kSendingProgram,
                                                texts::kRequestingCheckSum};
const std::vector<std::string> kToTheErase = {texts::kSendingBootLoader, texts::kEraseCommandSent,
                                              texts::kFlashNotUpdated};

template <typename... Then>
std::vector<std::string> statuses(std::vector<std::string> first, Then... then) {
    (first.emplace_back(then), ...);
    return first;
}

// What each ending shows in the window: every caption of lblStatus in turn, its one box, and
// lblCheckSum3 and 4 with the file's sum and the instrument's.
TEST(UpdateProcedure, EachEndingShowsItsCaptionsBoxAndSumsAsTheWindowAlwaysHas) {
    const struct {
        const char* name;
        std::function<void(Rig&)> arrange;
        std::vector<std::string> statuses;
        const char* box;  // none: nullptr
        MessageIcon icon;
        bool portOpenAtBox;
        const char* fileSum;  // lblCheckSum1 to 4 shown; nullptr: hidden
        const char* deviceSum;
    } cases[] = {
        // One record of erased flash: the sum needs no more than 24 bits.
        {"updated", [](Rig&) {}, statuses(kToTheRequest, texts::kDone, kSuccess), nullptr,
         MessageIcon::None, false, "3FC000", "3FC000"},
        // The box comes once "X" has gone and the port is let go.
        {"badChecksum", checksumAnswer(ByteText("\x00\x3F\xC0\x01", 4)),
         statuses(kToTheRequest, texts::kDone, texts::kNotUpdatedSuccessfully), texts::kBadChecksum,
         MessageIcon::None, false, "3FC000", "3FC001"},
        {"checksumMissing", checksumAnswer(""),
         statuses(kToTheRequest, texts::kCheckSumNotReceived), texts::kCheckSumNotReceivedBox,
         MessageIcon::Exclamation, true, nullptr, nullptr},
        {"checksumOutOfRange", checksumAnswer(ByteText("\x80\0\0\0", 4)), kToTheRequest,
         texts::kProblemReceivingCheckSum, MessageIcon::None, true, nullptr, nullptr},
        // The second attempt's silence says it again once the box is down.
        {"eraseSilentTwice", eraseAnswer(""), statuses(kToTheErase, texts::kFlashNotUpdated),
         texts::kProgrammingError, MessageIcon::Exclamation, true, nullptr, nullptr},
        {"eraseWrongTwice", eraseAnswer("?"), kToTheErase, texts::kEndOfEraseNotDetected,
         MessageIcon::Exclamation, true, nullptr, nullptr},
        // A failed step leaves the status as it was.
        {"portDoesNotOpen", [](Rig& rig) { rig.port.failOpenings(); }, statuses({}),
         texts::kErrorOpeningComPort, MessageIcon::None, false, nullptr, nullptr},
        // Every opening fails once the boot loader is going out.
        {"reopeningAt9600Fails",
         [](Rig& rig) {
             rig.loop.setOnPump([&rig] {
                 if (rig.view.status() == texts::kSendingBootLoader) {
                     rig.port.failOpenings();
                 }
             });
         },
         statuses({texts::kSendingBootLoader}), texts::kErrorOpeningComPort, MessageIcon::None,
         false, nullptr, nullptr},
    };
    for (const auto& shown : cases) {
        SCOPED_TRACE(shown.name);
        Rig rig;
        rig.selectImage(ByteText(16384, '\xFF'));
        rig.view.setLabelVisible(Label::lblStatus, false);
        bool portOpenAtBox = false;
        rig.view.onMessage = [&](const Message&) { portOpenAtBox = rig.port.portOpen(); };
        shown.arrange(rig);
        rig.start();
        EXPECT_EQ(rig.view.statusHistory(), shown.statuses);
        if (shown.box == nullptr) {
            EXPECT_TRUE(rig.view.messages().empty());
        } else {
            EXPECT_EQ(rig.view.messageTexts(), std::vector<std::string>{shown.box});
            EXPECT_EQ(rig.view.messages()[0].icon, shown.icon);
            EXPECT_EQ(portOpenAtBox, shown.portOpenAtBox);
        }
        // Shown before the first byte, and it stays.
        EXPECT_EQ(rig.view.label(Label::lblStatus).visible, !shown.statuses.empty());
        for (const Label label :
             {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4}) {
            EXPECT_EQ(rig.view.label(label).visible, shown.fileSum != nullptr) << labelName(label);
        }
        if (shown.fileSum != nullptr) {
            EXPECT_EQ(rig.view.caption(Label::lblCheckSum3), shown.fileSum);
            EXPECT_EQ(rig.view.caption(Label::lblCheckSum4), shown.deviceSum);
        }
        EXPECT_FALSE(rig.update.running());
    }
}

TEST(UpdateProcedure, ProgressIsShownBesideTheFileSizeAsItIsReported) {
    for (const std::size_t length : {std::size_t{20'000}, std::size_t{0}}) {
        SCOPED_TRACE(length);
        Rig rig;
        rig.selectImage(randomBytes(length));
        rig.start();
        ASSERT_EQ(rig.view.status(), kSuccess);
        for (const Label label :
             {Label::lblBytesTransmitted, Label::lblFileSize, Label::lblBytesT, Label::lblFileB}) {
            EXPECT_TRUE(rig.view.label(label).visible) << labelName(label);
        }
        std::vector<std::string> counts;
        std::vector<Micros> countsShown;
        for (const LabelChange& change : rig.view.changes()) {
            if (change.label == Label::lblBytesT) {
                counts.push_back(change.caption);
                if (!change.caption.empty()) {
                    countsShown.push_back(change.at);
                }
            }
        }
        std::vector<std::string> expected = {""};  // the reset at Start
        for (std::size_t sent = 2048; length > 0 && sent <= 2 * 16384; sent += 2048) {
            expected.push_back(std::string(" ").append(std::to_string(sent)));
        }
        EXPECT_EQ(counts, expected);
        EXPECT_EQ(rig.view.caption(Label::lblFileB),
                  length > 0 ? std::string(" ").append(std::to_string(length)) : "");
        EXPECT_EQ(rig.view.caption(Label::lblCheckSum3), hexText(rig.update.FileCheckSum));
        // Each count is reported in types as it is shown, with the run's account then.
        std::vector<Micros> countsReported;
        for (const ProgressStep& step : rig.view.progressSteps()) {
            if (step.what == Progress::BytesSent) {
                countsReported.push_back(step.at);
            }
        }
        EXPECT_EQ(countsReported, countsShown);
        EXPECT_EQ(rig.view.progressSteps().back().stage, UpdateResult::Stage::Done);
    }
}

TEST(UpdateProcedure, EmptyFileNameResetsTheResultsAndStopsBeforeThePort) {
    Rig rig;
    rig.view.setLabelCaption(Label::lblBytesT, " 2048");
    rig.view.setLabelCaption(Label::lblFileB, " 512");
    rig.view.setLabelCaption(Label::lblStatus, kSuccess);
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4,
          Label::lblBytesTransmitted, Label::lblFileSize, Label::lblBytesT, Label::lblFileB}) {
        rig.view.setLabelVisible(label, true);
    }
    const auto writesBefore = rig.view.visibilityWrites().size();
    rig.start();
    EXPECT_EQ(rig.view.messageTexts(), std::vector<std::string>{texts::kSelectFile});
    EXPECT_EQ(rig.view.messages().front().icon, MessageIcon::None);
    const std::vector<std::string> resets(rig.view.visibilityWrites().begin() + writesBefore,
                                          rig.view.visibilityWrites().end());
    EXPECT_EQ(resets, (std::vector<std::string>{"lblCheckSum1=0", "lblCheckSum2=0",
                                                "lblCheckSum3=0", "lblCheckSum4=0",
                                                "lblBytesTransmitted=0", "lblFileSize=0"}));
    EXPECT_EQ(rig.view.caption(Label::lblBytesT), "");
    EXPECT_EQ(rig.view.caption(Label::lblFileB), "");
    // The value labels keep their visibility; the status line is not the driver's.
    EXPECT_TRUE(rig.view.label(Label::lblBytesT).visible);
    EXPECT_EQ(rig.view.status(), kSuccess);
    EXPECT_TRUE(rig.port.calls().empty());
}

// Names the image in the list and in the box.
std::string image(Rig& rig, const std::string& name) {
    rig.view.filFilesPath = rig.imageDir.string();
    rig.view.filFilesFileName = rig.view.txtFileName = name;
    return (rig.imageDir / name).string();
}

TEST(UpdateProcedure, ARunThatCannotStartSaysWhyAndLeavesTheLineUntouched) {
    struct Refused {
        const char* name;
        // Returns the box's text; nothing where the case cannot be made on this system.
        std::function<std::optional<std::string>(Rig&)> arrange;
    };
    const Refused cases[] = {
        // Not the list's selection, so used as it stands.
        {"blankName",
         [](Rig& rig) {
             rig.view.txtFileName = " ";
             return std::string(texts::kCantFindSizeOf) + " ";
         }},
        {"missingImageNamesTheFullPath",
         [](Rig& rig) {
             fs::remove(rig.executableDir / "BOOTLOAD.IMG");
             return texts::kCantFindSizeOf + image(rig, "GONE.IMG");
         }},
        // Resolved against the working directory, not the list's directory.
        {"typedNameDifferingInCase",
         [](Rig& rig) {
             rig.selectImage(randomBytes(10));
             rig.view.txtFileName = "prog.img";
             return std::string(texts::kCantFindSizeOf) + "prog.img";
         }},
        {"directoryAsTheImage",
         [](Rig& rig) {
             fs::create_directory(rig.imageDir / "FOLDER.IMG");
             return texts::kCantFindSizeOf + image(rig, "FOLDER.IMG");
         }},
        {"fifoAsTheImage",
         []([[maybe_unused]] Rig& rig) -> std::optional<std::string> {
#ifdef _WIN32
             return std::nullopt;  // no named pipes in the file system
#else
             EXPECT_EQ(::mkfifo((rig.imageDir / "PIPE.IMG").c_str(), 0600), 0);
             return texts::kCantFindSizeOf + image(rig, "PIPE.IMG");
#endif
         }},
        {"tooLarge",
         [](Rig& rig) {
             return texts::kFileTooLarge + rig.selectImage(ByteText(393'217, '\x11')).string();
         }},
        {"imageUnreadable",
         [](Rig& rig) -> std::optional<std::string> {
#ifdef _WIN32
             return std::nullopt;  // no permission keeps the owner from reading
#else
             if (::geteuid() == 0) {
                 return std::nullopt;  // permissions do not bind the superuser
             }
#endif
             const auto path = rig.selectImage(randomBytes(20000));
             fs::permissions(path, fs::perms::none);
             return texts::kCantOpen + path.string();
         }},
        {"bootLoaderOnlyBesideTheImage",
         [](Rig& rig) {
             rig.selectImage(randomBytes(100));
             fs::rename(rig.executableDir / "BOOTLOAD.IMG", rig.imageDir / "BOOTLOAD.IMG");
             return std::string(texts::kCantFindBootLoaders);
         }},
        {"bootLoaderADirectory",
         [](Rig& rig) {
             rig.selectImage(randomBytes(100));
             fs::remove(rig.executableDir / "BOOTLOAD.IMG");
             fs::create_directory(rig.executableDir / "BOOTLOAD.IMG");
             return std::string(texts::kCantFindBootLoaders);
         }},
        // 512 filler bytes would be run.
        {"bootLoaderEmpty",
         [](Rig& rig) {
             rig.selectImage(randomBytes(100));
             writeFile(rig.executableDir / "BOOTLOAD.IMG", "");
             return std::string(texts::kCantFindBootLoaders);
         }},
        {"bootLoaderSearchFails",
         [](Rig& rig) -> std::optional<std::string> {
#ifdef _WIN32
             return std::nullopt;  // a symbolic link needs a privilege
#endif
             rig.selectImage(randomBytes(100));
             fs::remove(rig.executableDir / "BOOTLOAD.IMG");
             fs::create_symlink("BOOTLOAD.IMG", rig.executableDir / "BOOTLOAD.IMG");
             return std::string(texts::kCantOpenBootLoader);
         }},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        const std::optional<std::string> message = c.arrange(rig);
        if (!message) {
            continue;
        }
        rig.start();
        EXPECT_EQ(rig.view.messageTexts(), std::vector<std::string>{*message});
        EXPECT_TRUE(rig.port.calls().empty());
        EXPECT_EQ(rig.update.result().cause, UpdateResult::Cause::File);
        // The status keeps what the window was created with.
        EXPECT_TRUE(rig.view.statusHistory().empty());
    }
}

TEST(UpdateProcedure, DirectoryPathGetsOneSeparator) {
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
    EXPECT_EQ(rig.view.messageTexts(),
              (std::vector<std::string>{"Can't find size of " + root + "no-such-image-here.img",
                                        inDirectory, inDirectory}));
}

TEST(UpdateProcedure, BootLoaderNotNextToTheProgramIsLookedForInTheDataDirectories) {
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
    EXPECT_EQ(rig.view.messageTexts(), std::vector<std::string>{"Can't find Boot Loaders"});
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
    EXPECT_EQ(rig.view.status(), kSuccess);
    EXPECT_EQ(rig.port.wireText().substr(1, 511), loader);
#endif
}

TEST(UpdateProcedure, BootLoaderIsTheSyncByteAndTheFilesFirst511Bytes) {
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
        const PreparedRun prepared = prepareRun(runChoiceOf(rig.view, 1, rig.executableDir));
        ASSERT_TRUE(prepared.inputs.has_value());
        EXPECT_EQ(ByteText(prepared.inputs->bootLoader.begin(), prepared.inputs->bootLoader.end()),
                  "\xFF" + c.expected);
    }
}

TEST(UpdateProcedure, PortChoiceFallsBackToCom4) {
    for (const auto& [selected, expected] :
         std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 3}, {4, 4}, {0, 4}}) {
        RecordingView view;
        view.selectedPort = selected;
        EXPECT_EQ(chosenPort(view), expected) << selected;
    }
}

TEST(UpdateProcedure, FileExitsCountsOrdinaryVisibleFilesOnly) {
    Rig rig;
    writeFile(rig.root / ".hidden", "x");
    EXPECT_TRUE(FileExits(rig.executableDir / "BOOTLOAD.IMG"));
    EXPECT_FALSE(FileExits(rig.root / ".hidden"));
    EXPECT_FALSE(FileExits(rig.executableDir));
    EXPECT_FALSE(FileExits(rig.root / "absent"));
    EXPECT_FALSE(FileExits(rig.root / "absent" / "deeper"));
}

TEST(UpdateProcedure, TheImageIsSentAndSummedAsStartReadItWhateverBecomesOfTheFile) {
    struct Case {
        const char* name;
        std::size_t before;
        std::function<void(const fs::path&)> change;
    };
    const std::vector<Case> cases = {
        {"grows past the last record", 100,
         [](const fs::path& path) { writeFile(path, randomBytes(24 * 16384 + 1, 4)); }},
        {"replaced by a directory", 20'000,
         [](const fs::path& path) {
             fs::remove(path);
             fs::create_directory(path);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        const ByteText original = randomBytes(c.before, 3);
        const auto path = rig.selectImage(original);
        bool changed = false;
        rig.loop.setOnPump([&] {
            if (!changed && rig.view.status() == texts::kMemoryErased) {
                changed = true;
                c.change(path);
            }
        });
        rig.start();
        ASSERT_TRUE(changed);
        EXPECT_TRUE(rig.view.messageTexts().empty());
        ByteText records = original;
        records.resize((original.size() + 16383) / 16384 * 16384, '\xFF');
        EXPECT_EQ(rig.instrument.programData, records);
        EXPECT_EQ(rig.update.FileCheckSum,
                  std::accumulate(records.begin(), records.end(), 0u, [](unsigned sum, char c) {
                      return sum + static_cast<unsigned char>(c);
                  }));
        EXPECT_EQ(rig.view.caption(Label::lblFileB), " " + std::to_string(original.size()));
        EXPECT_EQ(rig.view.status(), kSuccess);
    }
}

TEST(UpdateProcedure, ARunAfterAFailureFindsThePortOpenAndDoesNotReopenIt) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    // An answer out of range fails the run where it stands: the port is left open.
    checksumAnswer(ByteText("\x80\0\0\0", 4))(rig);
    rig.start();
    ASSERT_TRUE(rig.port.portOpen());
    const int openingsBefore = rig.port.openings();
    // The instrument switched off and on meanwhile.
    ScriptedInstrument restarted;
    rig.port.setInstrument(&restarted);
    rig.start();
    EXPECT_EQ(rig.view.status(), kSuccess);
    // Once at 9600 baud only: the 1200-baud set-up found the port open.
    EXPECT_EQ(rig.port.openings() - openingsBefore, 1);
}

TEST(UpdateProcedure, StartDuringARunOrFromItsBoxStartsNothing) {
    Rig rig;
    rig.selectImage(randomBytes(100));
    rig.instrument.checksumAnswer = [](std::uint32_t sum) {
        return ScriptedInstrument::sumAnswer(sum + 1);
    };
    int pressesDuringTheRun = 0;
    rig.loop.setOnPump([&] {
        if (pressesDuringTheRun < 3 && rig.view.status() == texts::kEraseCommandSent) {
            ++pressesDuringTheRun;
            rig.update.cmdStart_Click();
        }
    });
    rig.view.onMessage = [&](const Message&) { rig.update.cmdStart_Click(); };
    rig.start();
    EXPECT_EQ(pressesDuringTheRun, 3);
    EXPECT_EQ(rig.view.messageTexts(), std::vector<std::string>{texts::kBadChecksum});
    EXPECT_EQ(rig.instrument.eraseCommands, 1);
    EXPECT_EQ(rig.port.openings(), 2);
    EXPECT_FALSE(rig.update.running());
}

}  // namespace
}  // namespace flashupdate::testing
