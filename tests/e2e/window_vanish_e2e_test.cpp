// The real window on the real serial layer, the instrument gone in the middle of the transfer as a
// pulled cable would leave it: the run ends on its own, says so once, and claims nothing.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/simulator_process.h"
#include "ui/frm_main.h"
#include "ui/message_box_answerer.h"
#include "window_run.h"

namespace flashupdate::testing {
namespace {

TEST(WindowVanishE2E, InstrumentGoneDuringTheFirstRecordEndsTheRunWithCantOpen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 1));
    const QString image = dir.filePath("PROG.IMG");
    // Far more of the image is left than the line can buffer.
    writeFile(image, randomBytes(24 * 16384, 2));
    SimulatorProcess simulator;
    simulator.killOn("erased", 3000);
    PortMap map;
    map.setDevicePath(1, simulator.devicePath());
    QtEventLoop events;
    SerialControl port(map, events, systemTransports());
    frmMain window(events, port, map, dir.path().toStdString(), image + ",1");
    int ends = 0;
    window.setEndProgram([&] { ++ends; });
    window.show();

    MessageBoxAnswerer answerer;
    QElapsedTimer wall;
    wall.start();
    ASSERT_TRUE(startAndAwaitEnd(window, std::chrono::seconds(120)));
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;

    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].text, "Can't open " + image);
    auto* const status = window.findChild<QLabel*>("lblStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "Sending Program");
    EXPECT_LT(seconds, 40.0);
    EXPECT_EQ(ends, 0);
}

}  // namespace
}  // namespace flashupdate::testing
