#include "ui/frm_about.h"

#include "ui/about_texts.h"
#include "ui/twips.h"
#include "ui/window_fonts.h"

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QWindow>

#include <cmath>

namespace flashupdate {

namespace {

// The box's own texts; the maker's lines come from the texts file (about_texts.h).
constexpr char16_t kTitle[] = u"Quenlid\u00AE FLASH Update Program";
constexpr char16_t kVersion[] = u"Version 2.03";
constexpr char16_t kOk[] = u"OK";

constexpr int kClientWidthTwips = 6165;
constexpr int kClientHeightTwips = 3615;

constexpr QColor kPureBlue(0, 0, 255);
constexpr QColor kLogoGround(192, 192, 192);
constexpr QColor kRuleColour(0, 0, 0);
constexpr int kRuleThickness = 2;  // pixels

constexpr char kLogoResource[] = ":/quenlid-logo.xpm";

frmAbout* g_openBox = nullptr;

void setColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

// The box's captions start a new line at a bare carriage return; a QLabel breaks only at a line
// feed and would show the carriage return as a blank.
QString shownAsLines(QString caption) {
    return caption.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

}  // namespace

frmAbout* frmAbout::showInstance() {
    if (g_openBox == nullptr) {
        g_openBox = new frmAbout;
        g_openBox->show();
    } else {
        g_openBox->raise();
    }
    g_openBox->activateWindow();
    return g_openBox;
}

frmAbout* frmAbout::instance() {
    return g_openBox;
}

frmAbout::frmAbout()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    setFont(fonts::dialogDefault());
    // Without an icon of its own the box would show the application's.
    QPixmap noIcon(16, 16);
    noIcon.fill(Qt::transparent);
    setWindowIcon(QIcon(noIcon));

    m_Picture1 = new QLabel(this);
    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    const QPixmap logo(QString::fromLatin1(kLogoResource));
    m_Picture1->setPixmap(logo);
    m_Picture1->setGeometry(QRect(twipsRect(240, 240, 1365, 1800).topLeft(), logo.size()));
    m_Picture1->setAutoFillBackground(true);
    setColour(m_Picture1, QPalette::Window, kLogoGround);
    // The picture is the box's second focus stop, reached with Tab only.
    m_Picture1->setFocusPolicy(Qt::TabFocus);

    m_OKButton = new QPushButton(QString::fromUtf16(kOk), this);
    m_OKButton->setObjectName(QStringLiteral("OKButton"));
    m_OKButton->setGeometry(twipsRect(4800, 2640, 1215, 615));
    m_OKButton->setFont(fonts::msSansSerif(9.75, QFont::Bold));
    m_OKButton->setDefault(true);

    m_lblVerson = makeLabel(this, "lblVerson", twipsRect(2040, 480, 1335, 255));
    m_lblVerson->setText(QString::fromUtf16(kVersion));
    m_lblVerson->setFont(fonts::msSansSerif(8.25, QFont::Bold));
    setColour(m_lblVerson, QPalette::WindowText, kPureBlue);

    m_lblTitle = makeLabel(this, "lblTitle", twipsRect(1920, 120, 4095, 375));
    m_lblTitle->setFont(fonts::msSansSerif(12, QFont::Bold));
    setColour(m_lblTitle, QPalette::WindowText, kPureBlue);

    m_lblAddress = makeLabel(this, "lblAddress", twipsRect(2040, 1080, 3135, 855));
    m_lblAddress->setFont(fonts::msSansSerif(8.25, QFont::Bold));
    setColour(m_lblAddress, QPalette::WindowText, kPureBlue);

    m_lblWarn = makeLabel(this, "lblWarn", twipsRect(120, 2400, 4455, 1095));

    m_Line1 = new QFrame(this);
    m_Line1->setObjectName(QStringLiteral("Line1"));
    m_Line1->setFrameShape(QFrame::NoFrame);
    m_Line1->setGeometry(twipsToPixels(120), twipsToPixels(2160),
                         twipsToPixels(6000) - twipsToPixels(120), kRuleThickness);
    m_Line1->setAutoFillBackground(true);
    setColour(m_Line1, QPalette::Window, kRuleColour);

    setTabOrder(m_OKButton, m_Picture1);
    m_OKButton->setFocus();

    connect(m_OKButton, &QPushButton::clicked, this, &frmAbout::OKButton_Click);
    // Every way of closing ends here, before the deferred delete: a showInstance() in between must
    // build a new box, not raise the one on its way out.
    connect(this, &QDialog::finished, this, [this] {
        if (g_openBox == this) {
            g_openBox = nullptr;
        }
    });

    // The title stays empty, but Qt would show the application's name in the title bar in place of
    // an empty title; a blank given to the window system keeps the bar empty.
    create();
    windowHandle()->setTitle(QStringLiteral(" "));

    Form_Load();
}

frmAbout::~frmAbout() {
    if (g_openBox == this) {
        g_openBox = nullptr;
    }
}

void frmAbout::Form_Load() {
    // Centred on the whole primary screen by the outer size. Under X11 a new window's frame stays
    // unknown until the window manager has framed it, so there the client size stands in for it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        const QSize outer = frameGeometry().size();
        move(area.x() + static_cast<int>(std::lround((area.width() - outer.width()) / 2.0)),
             area.y() + static_cast<int>(std::lround((area.height() - outer.height()) / 2.0)));
    }

    m_lblTitle->setText(QString::fromUtf16(kTitle));

    const AboutTexts texts = loadAboutTexts();
    const QStringList address{texts.copyright, texts.street, texts.town, texts.rights};
    m_lblAddress->setText(shownAsLines(address.join(u'\r')));

    QString warning;
    for (const QString& piece : texts.warning) {
        warning += piece;
    }
    m_lblWarn->setText(warning);
}

void frmAbout::OKButton_Click() {
    accept();
}

}  // namespace flashupdate
