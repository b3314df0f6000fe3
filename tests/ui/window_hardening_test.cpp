// Closing the window at moments the action tests leave out: while a box of the run is up, and
// once the run is over. Whatever wait the run is in, a stop takes the same path (the session's
// tests stop it at every one).
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

#include "fakes/scripted_instrument.h"
#include "message_box_answerer.h"
#include "window_rig.h"

namespace flashupdate::testing {
namespace {

class WindowClosed : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.isValid());
        const QString base = m_directory.path();
        WindowRig::writeUpdateFiles(base, 3 * 16384);
        m_rig = std::make_unique<WindowRig>(base + "/program.img,1", base,
                                            std::filesystem::path(base.toStdString()));
        m_rig->window().show();
        QApplication::processEvents();
    }

    // Presses Start and closes the window at the first turn of the loop at which when() holds;
    // the loop runs until the program or the run has ended. Boxes are answered unless the test
    // looks after them itself.
    void startAndCloseWhen(const std::function<bool()>& when, bool answerBoxes = true) {
        std::optional<MessageBoxAnswerer> answerer;
        if (answerBoxes) {
            answerer.emplace();
        }
        const int runsBefore = m_rig->runsEnded();
        m_rig->control<QPushButton>("cmdStart")->click();
        EXPECT_TRUE(m_rig->runUntil([&] {
            if (!m_closed && when()) {
                m_closed = true;
                m_rig->window().close();
            }
            return m_rig->endCalls() > 0 || m_rig->runsEnded() > runsBefore;
        }));
        m_boxes = answerer ? answerer->seen().size() : 0;
    }

    QTemporaryDir m_directory;
    std::unique_ptr<WindowRig> m_rig;
    ScriptedInstrument m_instrument;
    bool m_closed = false;
    std::size_t m_boxes = 0;
};

TEST_F(WindowClosed, whileABoxOfTheRunIsUp_takesTheBoxAlongAndEndsTheProgram) {
    // Nobody on the line: the erase is never answered and the run shows its box.
    startAndCloseWhen([this] { return m_rig->boxUp() != nullptr; }, false);
    ASSERT_TRUE(m_closed);
    EXPECT_EQ(m_rig->endCalls(), 1);
    EXPECT_EQ(m_rig->boxUp(), nullptr);
    EXPECT_FALSE(m_rig->port.portOpen());
}

TEST_F(WindowClosed, afterARunHasEnded_closesNormally) {
    // A run that ended in a failure must not leave the window thinking it is still running.
    startAndCloseWhen([] { return false; });
    EXPECT_EQ(m_boxes, 1u);
    EXPECT_TRUE(m_rig->window().close());
    EXPECT_EQ(m_rig->endCalls(), 0);

    m_rig->window().show();
    m_rig->port.setInstrument(&m_instrument);
    startAndCloseWhen([] { return false; });
    EXPECT_EQ(m_boxes, 0u);
    EXPECT_TRUE(m_rig->window().close());
    EXPECT_EQ(m_rig->endCalls(), 0);
}

}  // namespace
}  // namespace flashupdate::testing
