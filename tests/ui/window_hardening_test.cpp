// Closing the window at moments the existing action tests leave out: deep in the transfer, in the
// checksum wait, while a box of the run is up, and once the run is over.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

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

    // Presses Start; hand runs once, at the first pump for which when() holds.
    void startAndCloseWhen(const std::function<bool()>& when) {
        m_rig->events.setOnPump([this, when] {
            if (!m_closed && when()) {
                m_closed = true;
                m_rig->window().close();
            }
        });
        MessageBoxAnswerer answerer;
        m_rig->control<QPushButton>("cmdStart")->click();
        m_rig->events.setOnPump({});
        m_boxes = answerer.seen().size();
    }

    QTemporaryDir m_directory;
    std::unique_ptr<WindowRig> m_rig;
    ScriptedInstrument m_instrument;
    bool m_closed = false;
    std::size_t m_boxes = 0;
};

TEST_F(WindowClosed, duringTheTransfer_endsTheProgram) {
    m_rig->port.setInstrument(&m_instrument);
    startAndCloseWhen([&] { return m_instrument.programData.size() >= 16384 + 2048; });
    ASSERT_TRUE(m_closed);
    EXPECT_EQ(m_rig->endCalls(), 1);
}

TEST_F(WindowClosed, whileWaitingForTheChecksum_endsTheProgram) {
    m_rig->port.setInstrument(&m_instrument);
    startAndCloseWhen([&] { return m_instrument.checksumRequests > 0; });
    ASSERT_TRUE(m_closed);
    EXPECT_EQ(m_rig->endCalls(), 1);
}

TEST_F(WindowClosed, whileABoxOfTheRunIsUp_endsTheProgram) {
    // Nobody on the line: the erase is never answered and the run shows its box.
    bool closedUnderTheBox = false;
    QTimer closer;
    closer.setInterval(0);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* const box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        // The box stays up while the window goes, then is answered as the operator would.
        if (!closedUnderTheBox) {
            closedUnderTheBox = true;
            m_rig->window().close();
        }
        box->button(QMessageBox::Ok)->click();
    });
    closer.start();
    startAndCloseWhen([] { return false; });
    closer.stop();
    ASSERT_TRUE(closedUnderTheBox);
    EXPECT_EQ(m_rig->endCalls(), 1);
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
