// The keyboard's way through the window: focus starts on Start and Tab follows the designed
// places, stopping at only the selected one of the four port buttons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QStringList>
#include <utility>

#include "window_rig.h"

namespace flashupdate::testing {
namespace {

const QStringList kDesignedOrder = {
    "cmdStart", "cmdExit", "filFiles", "txtFileName", "dirDirectory",
    "optCom1",  "optCom2", "drvDrive", "optCom3",     "optCom4",
};

QStringList tabStops(frmMain& window) {
    window.show();
    window.activateWindow();
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
    return stops;
}

TEST(FocusOrder, focusChain_followsDesignedPlaces) {
    WindowRig rig;
    QStringList chain;
    QWidget* const start = rig.control<QWidget>("cmdStart");
    QWidget* widget = start;
    do {
        if (kDesignedOrder.contains(widget->objectName())) {
            chain.append(widget->objectName());
        }
        widget = widget->nextInFocusChain();
    } while (widget != start);
    EXPECT_EQ(chain, kDesignedOrder);
}

// Tab from Start stops at only the selected port button, in its designed place.
TEST(FocusOrder, tab_visitsOnlyTheSelectedPortButton) {
    const QStringList before = {"cmdStart", "cmdExit", "filFiles", "txtFileName", "dirDirectory"};
    for (const auto& [commandLine, after] :
         {std::pair{QString(), QStringList{"optCom1", "drvDrive"}},
          std::pair{QStringLiteral(",3"), QStringList{"drvDrive", "optCom3"}}}) {
        WindowRig rig(commandLine);
        EXPECT_EQ(tabStops(rig.window()), before + after) << commandLine.toStdString();
    }
}

}  // namespace
}  // namespace flashupdate::testing
