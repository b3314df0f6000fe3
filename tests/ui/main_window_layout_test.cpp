// The main window as designed: every control where the layout puts it, at 15 twips a pixel, with
// its text, font, visibility and alignment, the focus order, the client area, title and menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QScreen>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "window_rig.h"

namespace flashupdate::testing {
namespace {

enum class Font { Default, ArialNarrow, MsSansSerifBold };

struct DesignedControl {
    const char* name;
    const char* parent;            // object name of the enclosing control
    int left, top, width, height;  // twips
    std::optional<QString> text;   // none for lists, whose text is data
    bool visible;
    Font font;
    Qt::Alignment alignment;  // labels only; 0 elsewhere
};

std::ostream& operator<<(std::ostream& out, const DesignedControl& designed) {
    return out << designed.name;
}

constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignTop;
constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignTop;
constexpr Qt::Alignment kCentre = Qt::AlignHCenter | Qt::AlignTop;
constexpr Qt::Alignment kNone = {};

const std::vector<DesignedControl> kControls = {
    {"drvDrive", "clientArea", 2880, 2880, 1335, 315, std::nullopt, true, Font::Default, kNone},
    {"Frame1", "clientArea", 240, 720, 1335, 1695, QString(), true, Font::Default, kNone},
    {"optCom4", "Frame1", 240, 1320, 852, 252, QStringLiteral("Com4"), true, Font::Default, kNone},
    {"optCom3", "Frame1", 240, 960, 852, 252, QStringLiteral("Com3"), true, Font::Default, kNone},
    {"optCom2", "Frame1", 240, 600, 852, 252, QStringLiteral("Com2"), true, Font::Default, kNone},
    {"optCom1", "Frame1", 240, 240, 972, 252, QStringLiteral("Com1"), true, Font::Default, kNone},
    {"dirDirectory", "clientArea", 2880, 3960, 2655, 1665, std::nullopt, true, Font::Default,
     kNone},
    {"txtFileName", "clientArea", 240, 2880, 2415, 372, QString(), true, Font::Default, kNone},
    {"filFiles", "clientArea", 240, 3360, 2415, 2235, std::nullopt, true, Font::Default, kNone},
    {"cmdExit", "clientArea", 4560, 2160, 975, 372, QStringLiteral("E&xit"), true,
     Font::ArialNarrow, kNone},
    {"cmdStart", "clientArea", 4560, 1680, 972, 372, QStringLiteral("&Start "), true,
     Font::ArialNarrow, kNone},
    {"lblFileB", "clientArea", 3360, 2040, 615, 255, QString(), false, Font::Default, kRight},
    {"lblBytesT", "clientArea", 3360, 1800, 615, 255, QString(), false, Font::Default, kRight},
    {"lblFileSize", "clientArea", 1920, 2040, 1335, 255, QStringLiteral("File Size:"), false,
     Font::Default, kLeft},
    {"lblCheckSum4", "clientArea", 3480, 1080, 1215, 255, QStringLiteral("CheckSum4"), false,
     Font::Default, kLeft},
    {"lblCheckSum3", "clientArea", 3480, 720, 1215, 255, QStringLiteral("CheckSum3"), false,
     Font::Default, kLeft},
    {"lblCheckSum2", "clientArea", 1920, 1080, 1455, 255, QStringLiteral("Device Checksum:"), false,
     Font::Default, kLeft},
    {"lblCheckSum1", "clientArea", 1920, 720, 1455, 255, QStringLiteral("File CheckSum:"), false,
     Font::Default, kLeft},
    {"lblBytesTransmitted", "clientArea", 1920, 1800, 1335, 255,
     QStringLiteral("Bytes Transmitted: "), false, Font::Default, kLeft},
    {"lblDrive", "clientArea", 2880, 2520, 495, 255, QStringLiteral("Drive:"), true, Font::Default,
     kLeft},
    {"lblDirNam", "clientArea", 2880, 3480, 2655, 375, std::nullopt, true, Font::Default, kLeft},
    {"lblDirectories", "clientArea", 2880, 3240, 975, 255, QStringLiteral("Directories:"), true,
     Font::Default, kLeft},
    {"lblFileName", "clientArea", 240, 2520, 855, 255, QStringLiteral("File Name:"), true,
     Font::Default, kLeft},
    // A command line without a comma leaves the window as it was created.
    {"lblStatus", "clientArea", 240, 120, 5415, 375, QStringLiteral("Sending BootLoader"), true,
     Font::MsSansSerifBold, kCentre},
};

// Twips to pixels worked out by hand, not by the window's own helper.
QRect pixels(const DesignedControl& designed) {
    const auto round = [](int twips) { return static_cast<int>(twips / 15.0 + 0.5); };
    return {round(designed.left), round(designed.top), round(designed.width),
            round(designed.height)};
}

QString textOf(QWidget* widget) {
    if (auto* const label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* const button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text();
    }
    if (auto* const edit = qobject_cast<QLineEdit*>(widget)) {
        return edit->text();
    }
    if (auto* const frame = qobject_cast<QGroupBox*>(widget)) {
        return frame->title();
    }
    return QStringLiteral("<no text>");
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

TEST_P(MainWindowLayout, control_asDesigned) {
    const DesignedControl& designed = GetParam();
    auto* const widget = s_rig->control<QWidget>(designed.name);
    ASSERT_NE(widget, nullptr);

    ASSERT_NE(widget->parentWidget(), nullptr);
    EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(designed.parent));
    EXPECT_EQ(widget->geometry(), pixels(designed));
    if (designed.text) {
        EXPECT_EQ(textOf(widget), *designed.text);
    }
    EXPECT_EQ(!widget->isHidden(), designed.visible);
    EXPECT_TRUE(widget->isEnabled());

    const QFont font = widget->font();
    switch (designed.font) {
        case Font::Default:
            EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans"));
            EXPECT_DOUBLE_EQ(font.pointSizeF(), 8.25);
            EXPECT_EQ(font.weight(), QFont::Normal);
            break;
        case Font::ArialNarrow:
            EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans Narrow"));
            EXPECT_DOUBLE_EQ(font.pointSizeF(), 11.25);
            EXPECT_EQ(font.weight(), QFont::Normal);
            break;
        case Font::MsSansSerifBold:
            EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Liberation Sans"));
            EXPECT_DOUBLE_EQ(font.pointSizeF(), 8.25);
            EXPECT_EQ(font.weight(), QFont::Bold);
            break;
    }

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

TEST(MainWindowLayoutWhole, everyDesignedControl_isThereOnce) {
    WindowRig rig;
    for (const DesignedControl& designed : kControls) {
        EXPECT_EQ(rig.window().findChildren<QWidget*>(QLatin1String(designed.name)).size(), 1)
            << designed.name;
    }
}

TEST(MainWindowLayoutWhole, window_titleClientAreaIconAndPlace) {
    WindowRig rig;
    frmMain& window = rig.window();
    EXPECT_EQ(window.objectName(), QStringLiteral("frmMain"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quenlid FLASH Update Program"));

    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.centralWidget()->size(), QSize(392, 409));
    EXPECT_NE(window.minimumSize(), window.maximumSize()) << "the window can be resized";

    const QScreen* const screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    // Placed before the frame's size is known, so off by at most the frame's width.
    const QPoint offCentre = window.frameGeometry().center() - screen->availableGeometry().center();
    const QSize frame = window.frameGeometry().size() - window.geometry().size();
    EXPECT_LE(std::abs(offCentre.x()), frame.width() / 2 + 1);
    EXPECT_LE(std::abs(offCentre.y()), frame.height() / 2 + 1);

    const QIcon icon = window.windowIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(32, 32).toImage();
    EXPECT_EQ(image.size(), QSize(32, 32));
    EXPECT_FALSE(image.hasAlphaChannel() && image.pixelColor(0, 0).alpha() < 255);
}

TEST(MainWindowLayoutWhole, icon_thirtyTwoSquareOpaqueFewColoursBlueOnGrey) {
    const QImage image(QStringLiteral(":/flashupdate-icon.xpm"));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    int blue = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            EXPECT_EQ(colour.alpha(), 255) << x << "," << y;
            colours.insert(colour.rgb());
            blue += colour.blue() > 2 * colour.red() && colour.blue() > 2 * colour.green();
        }
    }
    EXPECT_LE(colours.size(), 16);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_GT(blue, 32 * 32 / 3) << "the emblem is mostly blue";
}

TEST(MainWindowLayoutWhole, selectionPrompt_bothLinesFitTheStatusLine) {
    WindowRig rig;
    auto* const status = rig.control<QLabel>("lblStatus");
    const QFontMetricsF metrics(status->font());
    const QStringList lines = status->text().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QString& line : lines) {
        EXPECT_LE(metrics.horizontalAdvance(line), status->width()) << line.toStdString();
    }
    EXPECT_LE(2 * metrics.lineSpacing(), status->height() + metrics.leading());
}

TEST(MainWindowLayoutWhole, resizing_movesAndResizesNoControl) {
    WindowRig rig;
    frmMain& window = rig.window();
    window.show();
    QApplication::processEvents();
    std::vector<QRect> before;
    for (const DesignedControl& designed : kControls) {
        before.push_back(rig.control<QWidget>(designed.name)->geometry());
    }
    window.resize(250, 200);
    QApplication::processEvents();
    window.resize(700, 600);
    QApplication::processEvents();
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        EXPECT_EQ(rig.control<QWidget>(kControls[i].name)->geometry(), before[i])
            << kControls[i].name;
    }
}

TEST(MainWindowLayoutWhole, lists_colourAndPathBox) {
    WindowRig rig;
    auto* const files = rig.control<QWidget>("filFiles");
    EXPECT_EQ(files->palette().color(QPalette::Text),
              QApplication::palette("QMenu").color(QPalette::WindowText));
    auto* const status = rig.control<QLabel>("lblStatus");
    EXPECT_EQ(status->palette().color(status->foregroundRole()),
              QApplication::palette().color(QPalette::WindowText));
    auto* const path = rig.control<QLabel>("lblDirNam");
    EXPECT_EQ(path->frameShape(), QFrame::Box);
    EXPECT_EQ(path->lineWidth(), 1);
    EXPECT_TRUE(path->autoFillBackground());
    EXPECT_EQ(path->palette().color(path->backgroundRole()),
              QApplication::palette().color(QPalette::Base));
}

TEST(MainWindowLayoutWhole, menu_helpWithAboutOnly) {
    WindowRig rig;
    const QList<QAction*> bar = rig.window().menuBar()->actions();
    ASSERT_EQ(bar.size(), 1);
    EXPECT_EQ(bar[0]->text(), QStringLiteral("&Help"));
    QMenu* const help = bar[0]->menu();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->objectName(), QStringLiteral("Help"));
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->objectName(), QStringLiteral("ABout"));
    EXPECT_EQ(help->actions()[0]->text(), QStringLiteral("&About"));
}

TEST(MainWindowLayoutWhole, portButtons_tooltipNamesTheDevice) {
    WindowRig rig;
    EXPECT_TRUE(rig.control<QRadioButton>("optCom3")->toolTip().contains(
        QStringLiteral("/nonexistent/flashupdate-test/com3")));
}

}  // namespace
}  // namespace flashupdate::testing
