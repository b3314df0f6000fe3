// frmMain's controls, menu and place on the screen, as the window was designed: positions and
// sizes in twips, fonts and texts as the operators have always seen them.
#include <QApplication>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "ui/dir_list_box.h"
#include "ui/drive_list_box.h"
#include "ui/file_list_box.h"
#include "ui/frm_main.h"
#include "ui/main_window_texts.h"
#include "ui/option_group.h"
#include "ui/twips.h"
#include "ui/window_fonts.h"

namespace flashupdate {

namespace {

constexpr int kClientWidthTwips = 5880;
constexpr int kClientHeightTwips = 6135;

template <typename Widget>
Widget* place(Widget* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

// The design's dialog font was a little narrower than the one standing in for it, so a caption
// can miss its box by a pixel or two and wrap onto a line the box has no room for. Such a caption
// is set a fraction of a pixel tighter per letter instead; a caption that misses by more is left
// to wrap, as the design allows.
void tightenToFit(QLabel* label) {
    constexpr qreal kMostTighteningPerLetter = 0.5;  // pixels: more starts to show
    const QString caption = label->text().trimmed();
    const qreal excess =
        QFontMetricsF(label->font()).horizontalAdvance(caption) - label->contentsRect().width();
    if (excess <= 0 || caption.isEmpty()) {
        return;
    }
    const qreal perLetter = excess / static_cast<qreal>(caption.size());
    if (perLetter > kMostTighteningPerLetter) {
        return;
    }
    QFont font = label->font();
    // A hundredth more, against rounding in the text layout.
    font.setLetterSpacing(QFont::AbsoluteSpacing, -(perLetter + 0.01));
    label->setFont(font);
}

// Labels start at their top-left corner and wrap at word boundaries, as the design expects.
QLabel* makeLabel(QWidget* parent, const char* name, const char* text, const QRect& geometry,
                  Qt::Alignment horizontal = Qt::AlignLeft) {
    auto* const label = place(new QLabel(QString::fromUtf8(text), parent), name, geometry);
    label->setAlignment(horizontal | Qt::AlignTop);
    label->setWordWrap(true);
    // Captions are data (paths, file names), never markup or links.
    label->setTextFormat(Qt::PlainText);
    tightenToFit(label);
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const char* text,
                        const QRect& geometry) {
    auto* const button = place(new QPushButton(QString::fromUtf8(text), parent), name, geometry);
    button->setFont(fonts::arialNarrow(11.25));
    return button;
}

}  // namespace

void frmMain::createControls() {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromUtf8(texts::kApplicationTitle));
    setWindowIcon(QIcon(QStringLiteral(":/flashupdate-icon.xpm")));
    setFont(fonts::dialogDefault());

    // No layout: the controls keep their places and sizes when the window is resized.
    auto* const client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(client);

    m_drvDrive = place(new DriveListBox(client), "drvDrive", twipsRect(2880, 2880, 1335, 315));

    m_frame1 = place(new QGroupBox(client), "Frame1", twipsRect(240, 720, 1335, 1695));
    m_optCom[3] = place(new QRadioButton(QString::fromUtf8(texts::kCom4), m_frame1), "optCom4",
                        twipsRect(240, 1320, 852, 252));
    m_optCom[2] = place(new QRadioButton(QString::fromUtf8(texts::kCom3), m_frame1), "optCom3",
                        twipsRect(240, 960, 852, 252));
    m_optCom[1] = place(new QRadioButton(QString::fromUtf8(texts::kCom2), m_frame1), "optCom2",
                        twipsRect(240, 600, 852, 252));
    m_optCom[0] = place(new QRadioButton(QString::fromUtf8(texts::kCom1), m_frame1), "optCom1",
                        twipsRect(240, 240, 972, 252));
    m_optCom[0]->setChecked(true);
    makeOneTabStop(m_optCom);

    m_dirDirectory =
        place(new DirListBox(client), "dirDirectory", twipsRect(2880, 3960, 2655, 1665));
    m_txtFileName = place(new QLineEdit(client), "txtFileName", twipsRect(240, 2880, 2415, 372));
    m_filFiles = place(new FileListBox(client), "filFiles", twipsRect(240, 3360, 2415, 2235));
    QPalette filesPalette = m_filFiles->palette();
    filesPalette.setColor(QPalette::Text,
                          QApplication::palette("QMenu").color(QPalette::WindowText));
    m_filFiles->setPalette(filesPalette);

    m_cmdExit = makeButton(client, "cmdExit", texts::kExit, twipsRect(4560, 2160, 975, 372));
    m_cmdStart = makeButton(client, "cmdStart", texts::kStart, twipsRect(4560, 1680, 972, 372));

    m_lblFileB = makeLabel(client, "lblFileB", "", twipsRect(3360, 2040, 615, 255), Qt::AlignRight);
    m_lblBytesT =
        makeLabel(client, "lblBytesT", "", twipsRect(3360, 1800, 615, 255), Qt::AlignRight);
    m_lblFileSize =
        makeLabel(client, "lblFileSize", texts::kFileSize, twipsRect(1920, 2040, 1335, 255));
    m_lblCheckSum4 =
        makeLabel(client, "lblCheckSum4", texts::kCheckSum4, twipsRect(3480, 1080, 1215, 255));
    m_lblCheckSum3 =
        makeLabel(client, "lblCheckSum3", texts::kCheckSum3, twipsRect(3480, 720, 1215, 255));
    m_lblCheckSum2 =
        makeLabel(client, "lblCheckSum2", texts::kDeviceChecksum, twipsRect(1920, 1080, 1455, 255));
    m_lblCheckSum1 =
        makeLabel(client, "lblCheckSum1", texts::kFileCheckSum, twipsRect(1920, 720, 1455, 255));
    m_lblBytesTransmitted = makeLabel(client, "lblBytesTransmitted", texts::kBytesTransmitted,
                                      twipsRect(1920, 1800, 1335, 255));
    for (QLabel* const result :
         {m_lblFileB, m_lblBytesT, m_lblFileSize, m_lblCheckSum4, m_lblCheckSum3, m_lblCheckSum2,
          m_lblCheckSum1, m_lblBytesTransmitted}) {
        result->hide();
    }

    m_lblDrive = makeLabel(client, "lblDrive", texts::kDrive, twipsRect(2880, 2520, 495, 255));
    m_lblDirNam = makeLabel(client, "lblDirNam", "", twipsRect(2880, 3480, 2655, 375));
    m_lblDirNam->setFrameStyle(QFrame::Box | QFrame::Plain);
    m_lblDirNam->setLineWidth(1);
    m_lblDirNam->setBackgroundRole(QPalette::Base);
    m_lblDirNam->setAutoFillBackground(true);
    m_lblDirectories =
        makeLabel(client, "lblDirectories", texts::kDirectories, twipsRect(2880, 3240, 975, 255));
    m_lblFileName =
        makeLabel(client, "lblFileName", texts::kFileName, twipsRect(240, 2520, 855, 255));

    m_lblStatus = makeLabel(client, "lblStatus", texts::kStatusAtCreation,
                            twipsRect(240, 120, 5415, 375), Qt::AlignHCenter);
    m_lblStatus->setFont(fonts::msSansSerif(8.25, QFont::Bold));
    m_lblStatus->setForegroundRole(QPalette::WindowText);

    createMenu();
    setFocusOrder();

    // The menu bar sits above the client area, which keeps its designed size.
    resize(twipsToPixels(kClientWidthTwips),
           twipsToPixels(kClientHeightTwips) + menuBar()->sizeHint().height());
    placeOnScreen();
}

void frmMain::createMenu() {
    QMenu* const help = menuBar()->addMenu(QString::fromUtf8(texts::kHelpMenu));
    help->setObjectName(QStringLiteral("Help"));
    help->setFont(fonts::dialogDefault());
    QAction* const about = help->addAction(QString::fromUtf8(texts::kAboutItem));
    about->setObjectName(QStringLiteral("ABout"));
    connect(about, &QAction::triggered, this, &frmMain::ABout_Click);
}

void frmMain::setFocusOrder() {
    const std::array<QWidget*, 10> chain = {
        m_cmdStart,  m_cmdExit,   m_filFiles, m_txtFileName, m_dirDirectory,
        m_optCom[0], m_optCom[1], m_drvDrive, m_optCom[2],   m_optCom[3],
    };
    for (std::size_t i = 1; i < chain.size(); ++i) {
        QWidget::setTabOrder(chain[i - 1], chain[i]);
    }
    m_cmdStart->setFocus();
}

void frmMain::placeOnScreen() {
    const QScreen* const screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

}  // namespace flashupdate
