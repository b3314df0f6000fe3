// Start-up with a command line: "file,port" pre-selects the image and the port, nothing selects
// nothing and asks for both, a text without a comma is ignored. Nothing starts an update.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "ui/dir_list_box.h"
#include "ui/file_list_box.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

const QString kCreationStatus = QStringLiteral("Sending BootLoader");
const QString kPrompt =
    QStringLiteral("Please select a COM port  \nPlease select a file to download");

struct CommandLineCase {
    const char* label;
    QString argumentText;
    QString fileName;
    int port;
    QString status;
};

std::ostream& operator<<(std::ostream& out, const CommandLineCase& c) {
    return out << c.label;
}

// How the port's text reads as a number is the number reader's table; here, what the window
// makes of the number.
const std::vector<CommandLineCase> kCases = {
    {"port2", "C:\\PROG\\NEW.IMG,2", "C:\\PROG\\NEW.IMG", 2, kCreationStatus},
    {"port5IsCom4", "C:\\PROG\\NEW.IMG,5", "C:\\PROG\\NEW.IMG", 4, kCreationStatus},
    {"emptyPortReadsZero", "C:\\PROG\\NEW.IMG,", "C:\\PROG\\NEW.IMG", 4, kCreationStatus},
    {"secondCommaEndsNumber", "C:\\PROG\\NEW.IMG,3,9", "C:\\PROG\\NEW.IMG", 3, kCreationStatus},
    {"noFilePart", ",3", "", 3, kCreationStatus},
    {"firstCommaSplits", "C:\\A,B\\NEW.IMG,2", "C:\\A", 4, kCreationStatus},
    {"noCommaIgnored", "C:\\PROG\\NEW.IMG", "", 1, kCreationStatus},
    {"empty", "", "", 1, kPrompt},
    {"blanksKeptInFileName", " new.img ,2", " new.img ", 2, kCreationStatus},
    {"onlyBlanksHaveNoComma", "   ", "", 1, kCreationStatus},
};

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, startUp_selectsFileAndPortAndStatus) {
    const CommandLineCase& c = GetParam();
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    WindowRig rig(c.argumentText, directory.path());

    EXPECT_EQ(rig.control<QLineEdit>("txtFileName")->text(), c.fileName);
    for (int port = 1; port <= 4; ++port) {
        const std::string name = "optCom" + std::to_string(port);
        EXPECT_EQ(rig.control<QRadioButton>(name.c_str())->isChecked(), port == c.port) << name;
        EXPECT_EQ(rig.window().comOptionSelected(port), port == c.port) << name;
    }
    auto* const status = rig.control<QLabel>("lblStatus");
    EXPECT_EQ(status->text(), c.status);
    EXPECT_FALSE(status->isHidden());

    // The lists are on the working directory whatever the command line says.
    const QString here = QDir::currentPath();
    EXPECT_EQ(rig.control<DirListBox>("dirDirectory")->Path(), here);
    EXPECT_EQ(rig.control<FileListBox>("filFiles")->Path(), here);
    EXPECT_EQ(rig.control<FileListBox>("filFiles")->Pattern(), QStringLiteral("*.*"));
    EXPECT_EQ(rig.control<QLabel>("lblDirNam")->text(), QDir::toNativeSeparators(here));

    // Only Start begins an update.
    rig.events.pumpWait();
    EXPECT_EQ(rig.port.openings(), 0);
    EXPECT_TRUE(rig.port.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(StartUp, CommandLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace flashupdate::testing
