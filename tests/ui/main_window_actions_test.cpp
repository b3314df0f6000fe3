// What the window does for the operator and for a run: Exit and closing end the program (during
// an update once the run is stopped and the port let go, with a box of the run up, and as usual
// once the run is over), Help/About opens the box, message boxes look as a run asks, and the view
// a run is rendered into maps onto the right controls.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/scripted_instrument.h"
#include "message_box_answerer.h"
#include "ui/frm_about.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

// An update from "DIRECTORY/program.img,1" with nobody on the line unless the test puts an
// instrument there.
class DuringUpdate : public ::testing::Test {
protected:
    void SetUp() override { makeRig(); }

    void makeRig() {
        ASSERT_TRUE(m_directory.isValid());
        const QString base = m_directory.path();
        WindowRig::writeUpdateFiles(base, 100);
        m_rig = std::make_unique<WindowRig>(base + "/program.img,1", base,
                                            std::filesystem::path(base.toStdString()));
        m_rig->window().show();
        QApplication::processEvents();
    }

    // Presses Start; hand runs once, at the first turn of the loop at which when() holds, and the
    // loop runs until the program or the run has ended. Boxes are answered unless the test looks
    // after them itself.
    void startAndThen(const std::function<bool()>& when, const std::function<void()>& hand,
                      bool answerBoxes = true) {
        std::optional<MessageBoxAnswerer> answerer;
        if (answerBoxes) {
            answerer.emplace();
        }
        m_acted = false;
        const int runsBefore = m_rig->runsEnded();
        m_rig->control<QPushButton>("cmdStart")->click();
        EXPECT_TRUE(m_rig->runUntil([&] {
            if (!m_acted && when()) {
                m_acted = true;
                hand();
            }
            return m_rig->endCalls() > 0 || m_rig->runsEnded() > runsBefore;
        }));
        m_boxes = answerer ? answerer->seen().size() : 0;
    }
    // Once the boot loader has begun to go out.
    void startAndThen(const std::function<void()>& hand) {
        startAndThen([this] { return !m_rig->port.wire().empty(); }, hand);
        EXPECT_TRUE(m_acted);
    }

    QTemporaryDir m_directory;
    std::unique_ptr<WindowRig> m_rig;
    bool m_acted = false;
    std::size_t m_boxes = 0;
};

// Exit, closing the window and a stopping signal are one end, a table of the hands that ask for
// it; the run's line says it was stopped, and by whom.
TEST_F(DuringUpdate, exitClosingOrASignal_stopsTheRunLetsThePortGoThenEndsOnce) {
    struct Hand {
        const char* name;
        std::function<void(WindowRig&)> act;
        // How the run's line names the end.
        const char* endedBy;
    };
    const std::vector<Hand> hands = {
        {"Exit", [](WindowRig& rig) { rig.control<QPushButton>("cmdExit")->click(); },
         "ended_by=Exit "},
        {"closing the window", [](WindowRig& rig) { rig.window().close(); },
         "ended_by=\"closing the window\" "},
        {"SIGTERM", [](WindowRig& rig) { rig.window().stopBySignal(SIGTERM); },
         "ended_by=SIGTERM "},
    };
    for (const Hand& hand : hands) {
        SCOPED_TRACE(hand.name);
        makeRig();
        const QString logPath = m_directory.filePath(QStringLiteral("%1.log").arg(hand.name));
        m_rig->window().setLogPath(logPath);
        startAndThen([&] { hand.act(*m_rig); });
        QFile log(logPath);
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const std::string line = log.readAll().toStdString();
        EXPECT_NE(line.find(" outcome=stopped "), std::string::npos) << line;
        EXPECT_NE(line.find(hand.endedBy), std::string::npos) << line;
        EXPECT_EQ(m_rig->endCalls(), 1);
        EXPECT_EQ(m_rig->runsEnded(), 0) << "the run went on to its own end";
        EXPECT_FALSE(m_rig->port.portOpen());
        m_rig->control<QPushButton>("cmdExit")->click();
        EXPECT_EQ(m_rig->endCalls(), 1) << "the program ended twice";
    }
}

TEST_F(DuringUpdate, startPressedAgain_startsNoSecondRun) {
    startAndThen([&] { m_rig->control<QPushButton>("cmdStart")->click(); });
    EXPECT_EQ(m_rig->runsEnded(), 1);
    // One run sends the boot loader once; a second would send it again.
    std::size_t bootLoaderBytes = 0;
    for (const WireByte& byte : m_rig->port.wire()) {
        bootLoaderBytes += byte.baud == 1200 ? 1 : 0;
    }
    EXPECT_EQ(bootLoaderBytes, 512u);
}

// Whatever wait the run is in, a stop takes the same path (the session's tests stop it at every
// one); a box of the run is another matter.
TEST_F(DuringUpdate, closingWhileABoxOfTheRunIsUp_takesTheBoxAlongAndEndsTheProgram) {
    // Nobody on the line: the erase is never answered and the run shows its box.
    startAndThen([this] { return m_rig->boxUp() != nullptr; }, [this] { m_rig->window().close(); },
                 false);
    ASSERT_TRUE(m_acted);
    EXPECT_EQ(m_rig->endCalls(), 1);
    EXPECT_EQ(m_rig->boxUp(), nullptr);
    EXPECT_FALSE(m_rig->port.portOpen());
}

// Once a run has ended, closing the window closes it and Exit ends the program at once, as if no
// run had been: a run that ended in a failure must not leave the window thinking it is running.
TEST_F(DuringUpdate, closingOrExitAfterARunHasEnded_closesNormallyOrEndsAtOnce) {
    const auto never = [] { return false; };
    startAndThen(never, [] {});
    EXPECT_EQ(m_boxes, 1u);
    EXPECT_TRUE(m_rig->window().close());
    EXPECT_EQ(m_rig->endCalls(), 0);

    m_rig->window().show();
    ScriptedInstrument instrument;
    m_rig->port.setInstrument(&instrument);
    startAndThen(never, [] {});
    EXPECT_EQ(m_boxes, 0u);
    EXPECT_TRUE(m_rig->window().close());
    EXPECT_FALSE(m_rig->window().isVisible());
    EXPECT_EQ(m_rig->endCalls(), 0);
    m_rig->control<QPushButton>("cmdExit")->click();
    EXPECT_EQ(m_rig->endCalls(), 1);
}

// A device server that never answers: its opening hangs, and so does letting it go.
class SilentPort final : public LinePort {
public:
    void setSettings(const std::string&) override {}
    void setCommPort(int) override {}
    void setRTSEnable(bool) override {}
    std::string devicePath() const override { return "rfc2217://192.0.2.1:4001"; }
    void beginOpen() override {}
    bool portOpen() const override { return false; }
    std::size_t room() override { return 0; }
    std::size_t write(std::string_view) override {
        throw SerialError("the port is not open", PortErrorKind::NotOpen);
    }
    void wantWritable() override {}
    void wantDrained() override {}
    std::size_t notCarried() override { return 0; }
    void purgeInput() override {}
    void purgeOutput() override {}
    void beginClose() override { ++closings; }

    int closings = 0;
};

TEST(EndDuringUpdate, portNeverLetGo_endsTheProgramAfterTheLimit) {
    QTemporaryDir directory;
    const QString base = directory.path();
    WindowRig::writeUpdateFiles(base, 100);
    SilentPort silent;
    WindowRig rig(base + "/program.img,1", base, std::filesystem::path(base.toStdString()),
                  nowherePorts(), &silent);
    rig.control<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(rig.runUntil([&] { return rig.events.now() >= ms(1000); }));
    const Micros exitAt = rig.events.now();
    rig.control<QPushButton>("cmdExit")->click();
    EXPECT_EQ(silent.closings, 1);

    ASSERT_TRUE(rig.runUntil([&] { return rig.endCalls() > 0; }));
    const auto limit = std::chrono::duration_cast<std::chrono::microseconds>(frmMain::kEndLimit);
    EXPECT_GE(rig.events.now() - exitAt, limit.count());
    EXPECT_LT(rig.events.now() - exitAt, limit.count() + ms(100));
    EXPECT_EQ(rig.endCalls(), 1);
}

// A run that fails before its first status puts its box's text in the status line, so that the
// last run's verdict does not stand for an instrument this run never touched; only the missing
// choice of a file leaves the status line as it was.
TEST(EarlyFailures, leaveTheirMessageInTheStatusLine) {
    struct Case {
        const char* name;
        bool chooseFile;
        bool bootLoader;
        bool portOpens;
        QString status;  // empty: as it was
    };
    const std::vector<Case> cases = {
        {"the port does not open", true, true, false, "Error opening Com Port"},
        {"no boot loader", true, false, true, "Can't find Boot Loaders"},
        {"no file chosen", false, true, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir directory;
        const QString base = directory.path();
        WindowRig::writeUpdateFiles(base, 100);
        if (!c.bootLoader) {
            QFile::remove(base + "/BOOTLOAD.IMG");
        }
        WindowRig rig(c.chooseFile ? base + "/program.img,1" : QString(), base,
                      std::filesystem::path(base.toStdString()));
        if (!c.portOpens) {
            rig.port.failOpenings();
        }
        auto* const status = rig.control<QLabel>("lblStatus");
        const QString before = QStringLiteral("FLASH updated successfully  ");
        status->setText(before);
        MessageBoxAnswerer answerer;
        rig.startAndAwaitEnd();
        ASSERT_EQ(answerer.seen().size(), 1u);
        EXPECT_EQ(status->text(), c.status.isEmpty() ? before : c.status);
    }
}

// The box's own behaviour (one instance, modeless, no owner) is the About box's test.
TEST(HelpAbout, chosen_opensTheAboutBox) {
    WindowRig rig;
    QAction* const about = rig.window().findChild<QAction*>("ABout");
    ASSERT_NE(about, nullptr);
    about->trigger();
    ASSERT_NE(frmAbout::instance(), nullptr);
    frmAbout::instance()->close();
    QApplication::processEvents();
}

TEST(Messages, modalTitledWithTheProgramOkOnlyWithTheIconAskedForAndTheTextAsGiven) {
    WindowRig rig;
    MessageBoxAnswerer answerer;
    rig.window().showMessage("first line\r\nsecond line", MessageIcon::None);
    rig.window().showMessage(" Can't open bootloader <b>", MessageIcon::Exclamation);
    ASSERT_EQ(answerer.seen().size(), 2u);
    for (const SeenMessageBox& box : answerer.seen()) {
        EXPECT_EQ(box.title, QStringLiteral("Quenlid FLASH Update Program"));
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(box.modal);
    }
    EXPECT_EQ(answerer.seen()[0].text, QStringLiteral("first line\nsecond line"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(answerer.seen()[1].text, QStringLiteral(" Can't open bootloader <b>"));
    EXPECT_EQ(answerer.seen()[1].icon, QMessageBox::Warning);
}

// The view a run is rendered into: each label's caption and visibility reach its control.
TEST(ViewLabels, captionAndVisibility_reachTheNamedLabel) {
    WindowRig rig;
    const std::pair<Label, const char*> labels[] = {
        {Label::lblStatus, "lblStatus"},       {Label::lblCheckSum1, "lblCheckSum1"},
        {Label::lblCheckSum2, "lblCheckSum2"}, {Label::lblCheckSum3, "lblCheckSum3"},
        {Label::lblCheckSum4, "lblCheckSum4"}, {Label::lblBytesTransmitted, "lblBytesTransmitted"},
        {Label::lblFileSize, "lblFileSize"},   {Label::lblBytesT, "lblBytesT"},
        {Label::lblFileB, "lblFileB"},
    };
    for (const auto& [shown, name] : labels) {
        SCOPED_TRACE(name);
        auto* const label = rig.control<QLabel>(name);
        rig.window().setLabelCaption(shown, " 512");
        EXPECT_EQ(label->text(), QStringLiteral(" 512"));
        rig.window().setLabelVisible(shown, true);
        EXPECT_FALSE(label->isHidden());
        rig.window().setLabelVisible(shown, false);
        EXPECT_TRUE(label->isHidden());
        rig.window().setLabelCaption(shown, "FLASH not updated\r\nBAD");
        EXPECT_EQ(label->text(), QStringLiteral("FLASH not updated\nBAD"));
    }
}

}  // namespace
}  // namespace flashupdate::testing
