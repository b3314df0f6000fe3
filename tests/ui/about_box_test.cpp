// The About box (one modeless box, its controls as designed, every way out) and the texts file it
// is filled from.
#include "ui/frm_about.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSet>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "list_input.h"
#include "ui/about_texts.h"

namespace flashupdate {
namespace {

using namespace Qt::StringLiterals;
using flashupdate::testing::pressKey;

constexpr QRgb kPureBlue = qRgb(0, 0, 255);
constexpr QRgb kLightGrey = qRgb(192, 192, 192);

template <typename Widget = QWidget>
Widget* control(QWidget* box, const char* name) {
    auto* widget = box->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// A closed box is deleted later, from the event loop; the tests have none running.
void runDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int visibleBoxes() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<frmAbout*>(widget) != nullptr && widget->isVisible()) {
            ++count;
        }
    }
    return count;
}

// The outer frame's centre lies on the screen's centre, to within the half pixel that an odd
// difference in sizes leaves.
void expectCentredOnScreen(const QWidget* box) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect outer = box->frameGeometry();
    EXPECT_LE(std::abs((2 * outer.x() + outer.width()) - (2 * screen.x() + screen.width())), 1)
        << "outer frame x " << outer.x() << " width " << outer.width();
    EXPECT_LE(std::abs((2 * outer.y() + outer.height()) - (2 * screen.y() + screen.height())), 1)
        << "outer frame y " << outer.y() << " height " << outer.height();
}

int twips(int value) {
    return static_cast<int>(std::lround(value / 15.0));
}

class AboutBox : public ::testing::Test {
protected:
    void SetUp() override { closeTheBox(); }
    void TearDown() override {
        closeTheBox();
        ASSERT_EQ(visibleBoxes(), 0);
    }
    static void closeTheBox() {
        if (frmAbout* box = frmAbout::instance()) {
            box->close();
        }
        runDeferredDeletes();
    }
};

TEST_F(AboutBox, ShowInstance_RaisesTheOpenBoxAsItIsAndBuildsAFreshCentredOneOnceClosed) {
    QPointer<frmAbout> first = frmAbout::showInstance();
    expectCentredOnScreen(first);
    // Marks that building the box again would undo: it centres the box and sets the title.
    first->move(first->pos() + QPoint(37, 21));
    const QPoint moved = first->pos();
    control<QLabel>(first, "lblTitle")->setText(u"marked"_s);

    EXPECT_EQ(frmAbout::showInstance(), first.data());
    EXPECT_EQ(frmAbout::instance(), first.data());
    EXPECT_EQ(visibleBoxes(), 1);
    EXPECT_EQ(first->pos(), moved);
    EXPECT_EQ(control<QLabel>(first, "lblTitle")->text().toStdString(), "marked");

    control<QPushButton>(first, "OKButton")->click();
    // Gone at once for showInstance, even before the event loop deletes it.
    EXPECT_EQ(frmAbout::instance(), nullptr);
    QPointer<frmAbout> second = frmAbout::showInstance();
    runDeferredDeletes();

    EXPECT_TRUE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(visibleBoxes(), 1);
    expectCentredOnScreen(second);
    EXPECT_EQ(control<QLabel>(second, "lblTitle")->text().toStdString(),
              "Quenlid\u00AE FLASH Update Program");
}

TEST_F(AboutBox, Window_IsAModelessFixedDialogWithoutOwnerTitleOrIcon) {
    // The main window's icon is the application's; the box must not take it over.
    QPixmap applicationIcon(16, 16);
    applicationIcon.fill(Qt::red);
    QApplication::setWindowIcon(QIcon(applicationIcon));
    const auto restoreIcon = qScopeGuard([] { QApplication::setWindowIcon(QIcon()); });
    QMainWindow mainWindow;
    mainWindow.show();
    frmAbout* box = frmAbout::showInstance();

    EXPECT_EQ(box->parentWidget(), nullptr);
    EXPECT_EQ(box->windowHandle()->transientParent(), nullptr);
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    EXPECT_EQ(box->windowType(), Qt::Dialog);
    EXPECT_TRUE(box->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(box->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(box->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(box->size(), QSize(twips(6165), twips(3615)));
    EXPECT_EQ(box->minimumSize(), box->maximumSize());

    EXPECT_TRUE(box->windowTitle().isEmpty());
    EXPECT_TRUE(box->windowHandle()->title().trimmed().isEmpty());

    const QImage icon = box->windowIcon().pixmap(16, 16).toImage();
    ASSERT_FALSE(icon.isNull());
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            ASSERT_EQ(qAlpha(icon.pixel(x, y)), 0) << "icon pixel " << x << "," << y;
        }
    }

    // Closing another top-level window leaves the box open.
    mainWindow.close();
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(frmAbout::instance(), box);
}

struct Placement {
    const char* name;
    int left, top, width, height;  // twips
    qreal points;                  // 0 for the picture, which draws no text
    bool bold;
    QString text;
};

// Form_Load fills the title, the version, four address lines and the warning.
TEST_F(AboutBox, Layout_PlacesEveryControlAtItsTwipsWithItsTextWholeInItsFont) {
    frmAbout* box = frmAbout::showInstance();
    const AboutTexts texts = loadAboutTexts();
    const QString address =
        QStringList({texts.copyright, texts.street, texts.town, texts.rights}).join(u'\n');
    const Placement layout[] = {
        {"Picture1", 240, 240, 1365, 1800, 0, false, {}},
        {"OKButton", 4800, 2640, 1215, 615, 9.75, true, u"OK"_s},
        {"lblVerson", 2040, 480, 1335, 255, 8.25, true, u"Version 2.03"_s},
        {"lblTitle", 1920, 120, 4095, 375, 12, true, u"Quenlid\u00AE FLASH Update Program"_s},
        {"lblAddress", 2040, 1080, 3135, 855, 8.25, true, address},
        {"lblWarn", 120, 2400, 4455, 1095, 8.25, false,
         QStringList(texts.warning.begin(), texts.warning.end()).join(QString())},
    };
    for (const Placement& designed : layout) {
        SCOPED_TRACE(designed.name);
        QWidget* const widget = control(box, designed.name);
        EXPECT_EQ(widget->geometry(), QRect(twips(designed.left), twips(designed.top),
                                            twips(designed.width), twips(designed.height)));
        EXPECT_EQ(widget->property("text").toString().toStdString(), designed.text.toStdString());
        if (designed.points == 0) {
            continue;
        }
        // QFontInfo tells the font actually drawn: fonts-liberation must be installed.
        EXPECT_EQ(QFontInfo(widget->font()).family().toStdString(), "Liberation Sans");
        EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), designed.points);
        EXPECT_EQ(widget->font().bold(), designed.bold);
        // Wrapped or clipped text would show the operator a different box: an address of five
        // lines, a title cut off below its first line.
        if (const auto* const label = qobject_cast<const QLabel*>(widget)) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        }
    }
    const QLabel* lblAddress = control<QLabel>(box, "lblAddress");
    const QFontMetrics metrics(lblAddress->font());
    for (const QString& line : address.split(u'\n')) {
        EXPECT_LE(metrics.horizontalAdvance(line), lblAddress->width()) << line.toStdString();
    }
}

TEST_F(AboutBox, Drawing_ShowsBlueTextTheRuleAndTheTwoColourLogo) {
    frmAbout* box = frmAbout::showInstance();
    const QImage drawn = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(drawn.size(), box->size());

    const auto containsColour = [&](const char* name, QRgb colour) {
        const QRect area = control(box, name)->geometry();
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (drawn.pixel(x, y) == colour) {
                    return true;
                }
            }
        }
        return false;
    };
    for (const char* name : {"lblTitle", "lblVerson", "lblAddress"}) {
        EXPECT_TRUE(containsColour(name, kPureBlue)) << name;
    }
    EXPECT_FALSE(containsColour("lblWarn", kPureBlue));
    EXPECT_TRUE(containsColour("lblWarn", qRgb(0, 0, 0)));

    // Line1 runs from (120, 2160) to (6000, 2160) twips, two dark pixels thick.
    const int ruleTop = twips(2160);
    for (int x = twips(120); x < twips(6000); ++x) {
        ASSERT_LT(qGray(drawn.pixel(x, ruleTop)), 64) << "x " << x;
        ASSERT_LT(qGray(drawn.pixel(x, ruleTop + 1)), 64) << "x " << x;
    }
    for (const QPoint clear : {QPoint(twips(3000), ruleTop - 1), QPoint(twips(3000), ruleTop + 2),
                               QPoint(twips(120) - 1, ruleTop), QPoint(twips(6000), ruleTop)}) {
        EXPECT_GT(qGray(drawn.pixel(clear)), 128) << clear.x() << "," << clear.y();
    }

    // Blue on light grey and nothing else, at its own size, framed by nothing else.
    const QImage logo(QStringLiteral(":/quenlid-logo.xpm"));
    ASSERT_EQ(logo.size(), QSize(91, 120));
    const QRect picture = control(box, "Picture1")->geometry();
    EXPECT_EQ(picture.size(), logo.size());
    QSet<QRgb> colours;
    for (int y = 0; y < logo.height(); ++y) {
        for (int x = 0; x < logo.width(); ++x) {
            colours.insert(logo.pixel(x, y) | 0xFF000000u);
            ASSERT_EQ(drawn.pixel(picture.topLeft() + QPoint(x, y)), logo.pixel(x, y) | 0xFF000000u)
                << "logo pixel " << x << "," << y;
        }
    }
    EXPECT_EQ(colours, (QSet<QRgb>{kPureBlue, kLightGrey}));
    EXPECT_EQ(control(box, "Picture1")->palette().color(QPalette::Window), QColor(kLightGrey));
}

TEST_F(AboutBox, Focus_StartsOnOkAndStopsOnlyAtOkAndThePicture) {
    frmAbout* box = frmAbout::showInstance();

    EXPECT_EQ(box->focusWidget(), control(box, "OKButton"));
    std::vector<std::string> stops;
    for (QWidget* w = box->nextInFocusChain(); w != box; w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->isVisibleTo(box)) {
            stops.push_back(w->objectName().toStdString());
        }
    }
    // The chain is a ring; read it from OK on.
    const auto ok = std::find(stops.begin(), stops.end(), "OKButton");
    ASSERT_NE(ok, stops.end());
    std::rotate(stops.begin(), ok, stops.end());
    EXPECT_EQ(stops, (std::vector<std::string>{"OKButton", "Picture1"}));
}

struct CloseWay {
    const char* name;
    std::function<void(frmAbout*)> act;
};

void PrintTo(const CloseWay& way, std::ostream* os) {
    *os << way.name;
}

class AboutBoxClosing : public AboutBox, public ::testing::WithParamInterface<CloseWay> {};

TEST_P(AboutBoxClosing, ClosesAndDiscardsTheBox) {
    QPointer<frmAbout> box = frmAbout::showInstance();

    GetParam().act(box);

    EXPECT_EQ(frmAbout::instance(), nullptr);
    EXPECT_EQ(visibleBoxes(), 0);
    runDeferredDeletes();
    EXPECT_TRUE(box.isNull());
}

INSTANTIATE_TEST_SUITE_P(
    EveryWayOut, AboutBoxClosing,
    ::testing::Values(
        CloseWay{"OkClicked",
                 [](frmAbout* box) { control<QPushButton>(box, "OKButton")->click(); }},
        CloseWay{"ReturnOnOk", [](frmAbout* box) { pressKey(box->focusWidget(), Qt::Key_Return); }},
        CloseWay{
            "KeypadEnterOnOk",
            [](frmAbout* box) { pressKey(box->focusWidget(), Qt::Key_Enter, Qt::KeypadModifier); }},
        CloseWay{"SpaceOnOk", [](frmAbout* box) { pressKey(box->focusWidget(), Qt::Key_Space); }},
        // OK is the default button: Enter presses it wherever the focus is.
        CloseWay{"ReturnOnPicture",
                 [](frmAbout* box) {
                     QWidget* picture = control(box, "Picture1");
                     picture->setFocus();
                     pressKey(picture, Qt::Key_Return);
                 }},
        CloseWay{"Escape", [](frmAbout* box) { pressKey(box->focusWidget(), Qt::Key_Escape); }},
        CloseWay{"TitleBarClose", [](frmAbout* box) { box->close(); }}),
    [](const ::testing::TestParamInfo<CloseWay>& info) { return std::string(info.param.name); });

// Each file with the texts it gives; a key the file leaves out comes back empty.
TEST(AboutTextsFile, Parse_ReadsKeyValueLinesAsWrittenAndSkipsTheRest) {
    const struct {
        const char16_t* file;
        AboutTexts texts;
    } cases[] = {
        // Every character after the first equals sign, blanks included.
        {u"copyright=Copyright \u00A9 2026 Maker\nstreet=1 High Street \ntown=Town = Centre\n"
         u"rights=All rights reserved.\nwarning1=One\nwarning2= two\nwarning3= three\n"
         u"warning4= four\nwarning5= five.",
         {u"Copyright \u00A9 2026 Maker"_s,
          u"1 High Street "_s,
          u"Town = Centre"_s,
          u"All rights reserved."_s,
          {u"One"_s, u" two"_s, u" three"_s, u" four"_s, u" five."_s}}},
        // Comments, blank lines, lines without an equals sign and unknown keys.
        {u"# copyright=not this\n\nno equals sign here\ncolour=blue\n  street  =Mill Lane\n",
         {{}, u"Mill Lane"_s, {}, {}, {}}},
        // A file edited on Windows loses its byte order mark and carriage returns.
        {u"\uFEFFcopyright=C\r\nstreet=S\r\n", {u"C"_s, u"S"_s, {}, {}, {}}},
        // A key given twice keeps its last text.
        {u"town=Old\ntown=New\n", {{}, {}, u"New"_s, {}, {}}},
    };
    for (const auto& [file, expected] : cases) {
        const AboutTexts texts = parseAboutTexts(QStringView(file));
        SCOPED_TRACE(QString::fromUtf16(file).toStdString());
        EXPECT_EQ(texts.copyright, expected.copyright);
        EXPECT_EQ(texts.street, expected.street);
        EXPECT_EQ(texts.town, expected.town);
        EXPECT_EQ(texts.rights, expected.rights);
        EXPECT_EQ(texts.warning, expected.warning);
    }
}

TEST(AboutTextsFile, Load_MissingFile_GivesEmptyTexts) {
    const AboutTexts texts = loadAboutTexts(u":/no-such-file.txt"_s);
    EXPECT_TRUE(texts.copyright.isEmpty());
    EXPECT_TRUE(texts.warning[4].isEmpty());
}

// The texts supplied with the product must give four address lines and a warning in five pieces
// that run together as words.
TEST(AboutTextsFile, CompiledInTexts_FillEveryLineAndJoinThePiecesWithBlanks) {
    const AboutTexts texts = loadAboutTexts();

    for (const QString* line : {&texts.copyright, &texts.street, &texts.town, &texts.rights}) {
        EXPECT_FALSE(line->trimmed().isEmpty());
        EXPECT_FALSE(line->contains(u'\r'));
    }
    EXPECT_TRUE(texts.copyright.contains(u'\u00A9'));
    ASSERT_FALSE(texts.warning[0].isEmpty());
    EXPECT_FALSE(texts.warning[0].front().isSpace());
    for (std::size_t i = 1; i < texts.warning.size(); ++i) {
        ASSERT_FALSE(texts.warning[i].isEmpty()) << "warning" << i + 1;
        EXPECT_TRUE(texts.warning[i].startsWith(u' ')) << "warning" << i + 1;
        EXPECT_FALSE(texts.warning[i].at(1).isSpace()) << "warning" << i + 1;
    }
}

}  // namespace
}  // namespace flashupdate
