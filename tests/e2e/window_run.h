// A run of the real window in real time: Start pressed, and Qt's loop run as the program runs it
// until the run has ended.
#pragma once

#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "ui/frm_main.h"

namespace flashupdate::testing {

// False when the run has not ended within limit.
inline bool startAndAwaitEnd(frmMain& window, std::chrono::milliseconds limit) {
    QEventLoop loop;
    bool ended = false;
    QObject::connect(&window, &frmMain::runEnded, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    window.findChild<QPushButton*>("cmdStart")->click();
    if (!ended) {
        loop.exec();
    }
    return ended;
}

}  // namespace flashupdate::testing
