// The main window as designed: every control where the layout puts it, at 15 twips a pixel, with
// its text, font, visibility and alignment, the focus order, the client area, title and menu; and
// what a command line selects in it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ui/dir_list_box.h"
#include "ui/file_list_box.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

struct DesignedFont {
    const char* family;
    qreal points;
    QFont::Weight weight;
};

constexpr DesignedFont kDialog{"Liberation Sans", 8.25, QFont::Normal};
constexpr DesignedFont kArialNarrow{"Liberation Sans Narrow", 11.25, QFont::Normal};
constexpr DesignedFont kSansSerifBold{"Liberation Sans", 8.25, QFont::Bold};

struct DesignedControl {
    const char* name;
    const char* parent;            // object name of the enclosing control
    int left, top, width, height;  // twips
    const char* text;              // none for lists, whose text is data
    bool visible;
    DesignedFont font;
    Qt::Alignment alignment;  // labels only; 0 elsewhere
};

std::ostream& operator<<(std::ostream& out, const DesignedControl& designed) {
    return out << designed.name;
}

constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignTop;
constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignTop;
constexpr Qt::Alignment kCentre = Qt::AlignHCenter | Qt::AlignTop;
constexpr Qt::Alignment kNone = {};
constexpr const char* kArea = "clientArea";

const std::vector<DesignedControl> kControls = {
    {"drvDrive", kArea, 2880, 2880, 1335, 315, nullptr, true, kDialog, kNone},
    {"Frame1", kArea, 240, 720, 1335, 1695, "", true, kDialog, kNone},
    {"optCom4", "Frame1", 240, 1320, 852, 252, "Com4", true, kDialog, kNone},
    {"optCom3", "Frame1", 240, 960, 852, 252, "Com3", true, kDialog, kNone},
    {"optCom2", "Frame1", 240, 600, 852, 252, "Com2", true, kDialog, kNone},
    {"optCom1", "Frame1", 240, 240, 972, 252, "Com1", true, kDialog, kNone},
    {"dirDirectory", kArea, 2880, 3960, 2655, 1665, nullptr, true, kDialog, kNone},
    {"txtFileName", kArea, 240, 2880, 2415, 372, "", true, kDialog, kNone},
    {"filFiles", kArea, 240, 3360, 2415, 2235, nullptr, true, kDialog, kNone},
    {"cmdExit", kArea, 4560, 2160, 975, 372, "E&xit", true, kArialNarrow, kNone},
    {"cmdStart", kArea, 4560, 1680, 972, 372, "&Start ", true, kArialNarrow, kNone},
    {"lblFileB", kArea, 3360, 2040, 615, 255, "", false, kDialog, kRight},
    {"lblBytesT", kArea, 3360, 1800, 615, 255, "", false, kDialog, kRight},
    {"lblFileSize", kArea, 1920, 2040, 1335, 255, "File Size:", false, kDialog, kLeft},
    {"lblCheckSum4", kArea, 3480, 1080, 1215, 255, "CheckSum4", false, kDialog, kLeft},
    {"lblCheckSum3", kArea, 3480, 720, 1215, 255, "CheckSum3", false, kDialog, kLeft},
    {"lblCheckSum2", kArea, 1920, 1080, 1455, 255, "Device Checksum:", false, kDialog, kLeft},
    {"lblCheckSum1", kArea, 1920, 720, 1455, 255, "File CheckSum:", false, kDialog, kLeft},
    {"lblBytesTransmitted", kArea, 1920, 1800, 1335, 255, "Bytes Transmitted: ", false, kDialog,
     kLeft},
    {"lblDrive", kArea, 2880, 2520, 495, 255, "Drive:", true, kDialog, kLeft},
    {"lblDirNam", kArea, 2880, 3480, 2655, 375, nullptr, true, kDialog, kLeft},
    {"lblDirectories", kArea, 2880, 3240, 975, 255, "Directories:", true, kDialog, kLeft},
    {"lblFileName", kArea, 240, 2520, 855, 255, "File Name:", true, kDialog, kLeft},
    // A command line without a comma leaves the window as it was created.
    {"lblStatus", kArea, 240, 120, 5415, 375, "Sending BootLoader", true, kSansSerifBold, kCentre},
};

// Twips to pixels worked out by hand, not by the window's own helper.
QRect pixels(const DesignedControl& designed) {
    const auto round = [](int twips) { return static_cast<int>(twips / 15.0 + 0.5); };
    return {round(designed.left), round(designed.top), round(designed.width),
            round(designed.height)};
}

class MainWindowLayout : public ::testing::TestWithParam<DesignedControl> {
protected:
    // Opened on the root, so that the path box's text fits wherever the tests are run from (the
    // package build runs them deep in its own tree).
    static void SetUpTestSuite() { s_rig = new WindowRig("NEW.IMG", QDir::rootPath()); }
    static void TearDownTestSuite() {
        delete s_rig;
        s_rig = nullptr;
    }
    static WindowRig* s_rig;
};

WindowRig* MainWindowLayout::s_rig = nullptr;

TEST_P(MainWindowLayout, control_asDesignedAndThereOnce) {
    const DesignedControl& designed = GetParam();
    const QString name = QLatin1String(designed.name);
    EXPECT_EQ(s_rig->window().findChildren<QWidget*>(name).size(), 1);
    auto* const widget = s_rig->control<QWidget>(designed.name);
    ASSERT_NE(widget, nullptr);

    ASSERT_NE(widget->parentWidget(), nullptr);
    EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(designed.parent));
    EXPECT_EQ(widget->geometry(), pixels(designed));
    if (designed.text != nullptr) {
        // A frame's text is its title; every other control's is its text.
        const char* const property = qobject_cast<QGroupBox*>(widget) ? "title" : "text";
        EXPECT_EQ(widget->property(property).toString(), QString::fromUtf8(designed.text));
    }
    EXPECT_EQ(!widget->isHidden(), designed.visible);
    EXPECT_TRUE(widget->isEnabled());
    EXPECT_EQ(QFontInfo(widget->font()).family(), QLatin1String(designed.font.family));
    EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), designed.font.points);
    EXPECT_EQ(widget->font().weight(), designed.font.weight);

    if (auto* const label = qobject_cast<QLabel*>(widget)) {
        // Cut off or wrapped out of sight otherwise: the boxes have room for one line.
        EXPECT_LE(QFontMetricsF(label->font()).horizontalAdvance(label->text().trimmed()),
                  label->contentsRect().width());
        EXPECT_EQ(label->alignment(), designed.alignment);
        EXPECT_TRUE(label->wordWrap());
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryControl, MainWindowLayout, ::testing::ValuesIn(kControls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MainWindowLayoutWhole, window_titleClientAreaPlaceIconMenuAndNoControlMovedByResizing) {
    WindowRig rig;
    frmMain& window = rig.window();
    EXPECT_EQ(window.objectName(), QStringLiteral("frmMain"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quenlid FLASH Update Program"));

    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.centralWidget()->size(), QSize(392, 409));

    const QScreen* const screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    // Placed before the frame's size is known, so off by at most the frame's width.
    const QPoint offCentre = window.frameGeometry().center() - screen->availableGeometry().center();
    const QSize frame = window.frameGeometry().size() - window.geometry().size();
    EXPECT_LE(std::abs(offCentre.x()), frame.width() / 2 + 1);
    EXPECT_LE(std::abs(offCentre.y()), frame.height() / 2 + 1);

    // Thirty-two pixels square, opaque, few colours: the emblem mostly blue, on grey.
    const QImage icon = window.windowIcon().pixmap(32, 32).toImage();
    ASSERT_EQ(icon.size(), QSize(32, 32));
    QSet<QRgb> colours;
    int blue = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            const QColor colour = icon.pixelColor(x, y);
            EXPECT_EQ(colour.alpha(), 255) << x << "," << y;
            colours.insert(colour.rgb());
            blue += colour.blue() > 2 * colour.red() && colour.blue() > 2 * colour.green();
        }
    }
    EXPECT_LE(colours.size(), 16);
    EXPECT_EQ(icon.pixelColor(0, 0), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_GT(blue, 32 * 32 / 3);

    const QList<QAction*> bar = window.menuBar()->actions();
    ASSERT_EQ(bar.size(), 1);
    EXPECT_EQ(bar[0]->text(), QStringLiteral("&Help"));
    QMenu* const help = bar[0]->menu();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->objectName(), QStringLiteral("Help"));
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->objectName(), QStringLiteral("ABout"));
    EXPECT_EQ(help->actions()[0]->text(), QStringLiteral("&About"));

    // The window can be resized, and its controls stay where they are.
    EXPECT_NE(window.minimumSize(), window.maximumSize());
    std::vector<QRect> before;
    for (const DesignedControl& designed : kControls) {
        before.push_back(rig.control<QWidget>(designed.name)->geometry());
    }
    for (const QSize size : {QSize(250, 200), QSize(700, 600)}) {
        window.resize(size);
        QApplication::processEvents();
    }
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        EXPECT_EQ(rig.control<QWidget>(kControls[i].name)->geometry(), before[i])
            << kControls[i].name;
    }
}

TEST(MainWindowLayoutWhole, selectionPromptFitsTheStatusLineAndListsAndBoxesHaveTheirColours) {
    WindowRig rig;
    auto* const status = rig.control<QLabel>("lblStatus");
    const QFontMetricsF metrics(status->font());
    const QStringList lines = status->text().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QString& line : lines) {
        EXPECT_LE(metrics.horizontalAdvance(line), status->width()) << line.toStdString();
    }
    EXPECT_LE(2 * metrics.lineSpacing(), status->height() + metrics.leading());

    EXPECT_EQ(status->palette().color(status->foregroundRole()),
              QApplication::palette().color(QPalette::WindowText));
    EXPECT_EQ(rig.control<QWidget>("filFiles")->palette().color(QPalette::Text),
              QApplication::palette("QMenu").color(QPalette::WindowText));
    auto* const path = rig.control<QLabel>("lblDirNam");
    EXPECT_EQ(path->frameShape(), QFrame::Box);
    EXPECT_EQ(path->lineWidth(), 1);
    EXPECT_TRUE(path->autoFillBackground());
    EXPECT_EQ(path->palette().color(path->backgroundRole()),
              QApplication::palette().color(QPalette::Base));
}

// The keyboard's way through the window: the focus chain follows the designed places, and Tab
// from Start stops at only the selected one of the four port buttons, in its designed place.
TEST(FocusOrder, chainFollowsTheDesignedPlacesAndTabVisitsOnlyTheSelectedPortButton) {
    const QStringList designedOrder = {
        "cmdStart", "cmdExit", "filFiles", "txtFileName", "dirDirectory",
        "optCom1",  "optCom2", "drvDrive", "optCom3",     "optCom4",
    };
    const QStringList before = designedOrder.mid(0, 5);
    for (const auto& [commandLine, after] :
         {std::pair{QString(), QStringList{"optCom1", "drvDrive"}},
          std::pair{QStringLiteral(",3"), QStringList{"drvDrive", "optCom3"}}}) {
        SCOPED_TRACE(commandLine.toStdString());
        WindowRig rig(commandLine);
        QStringList chain;
        QWidget* const start = rig.control<QWidget>("cmdStart");
        QWidget* widget = start;
        do {
            if (designedOrder.contains(widget->objectName())) {
                chain.append(widget->objectName());
            }
            widget = widget->nextInFocusChain();
        } while (widget != start);
        EXPECT_EQ(chain, designedOrder);

        rig.window().show();
        rig.window().activateWindow();
        QApplication::processEvents();
        QStringList stops;
        for (int press = 0; press < 20; ++press) {
            QWidget* const focused = QApplication::focusWidget();
            if (focused == nullptr || stops.contains(focused->objectName())) {
                break;
            }
            stops.append(focused->objectName());
            QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
            QApplication::sendEvent(focused, &tab);
            QApplication::processEvents();
        }
        EXPECT_EQ(stops, before + after);
    }
}

// Start-up with a command line: "file,port" pre-selects the image and the port, nothing selects
// nothing and asks for both, a text without a comma is ignored. Nothing starts an update.
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
    {"noFilePart", ",3", "", 3, kCreationStatus},
    {"firstCommaSplits", "C:\\A,B\\NEW.IMG,2", "C:\\A", 4, kCreationStatus},
    {"noCommaIgnored", "C:\\PROG\\NEW.IMG", "", 1, kCreationStatus},
    {"empty", "", "", 1, kPrompt},
    {"blanksAndLettersKeptInFileName", " Ünïcode new.img ,2", " Ünïcode new.img ", 2,
     kCreationStatus},
    {"onlyBlanksHaveNoComma", "   ", "", 1, kCreationStatus},
};

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, startUp_selectsFileAndPortAndStatus) {
    const CommandLineCase& c = GetParam();
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    WindowRig rig(c.argumentText, directory.path());

    EXPECT_EQ(rig.control<QLineEdit>("txtFileName")->text(), c.fileName);
    EXPECT_EQ(rig.window().fileNameText(), c.fileName.toStdString());
    for (int port = 0; port <= 5; ++port) {
        const std::string name = "optCom" + std::to_string(port);
        if (port >= 1 && port <= 4) {
            EXPECT_EQ(rig.control<QRadioButton>(name.c_str())->isChecked(), port == c.port) << name;
        }
        EXPECT_EQ(rig.window().comOptionSelected(port), port == c.port) << name;
    }
    auto* const status = rig.control<QLabel>("lblStatus");
    EXPECT_EQ(status->text(), c.status);
    EXPECT_FALSE(status->isHidden());

    // The lists are on the working directory whatever the command line says.
    const QString here = QDir::currentPath();
    EXPECT_EQ(rig.control<DirListBox>("dirDirectory")->Path(), here);
    EXPECT_EQ(rig.control<FileListBox>("filFiles")->Path(), here);
    EXPECT_EQ(rig.control<QLabel>("lblDirNam")->text(), QDir::toNativeSeparators(here));

    // Only Start begins an update.
    rig.events.pumpWait();
    EXPECT_EQ(rig.port.openings(), 0);
}

INSTANTIATE_TEST_SUITE_P(StartUp, CommandLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace flashupdate::testing
