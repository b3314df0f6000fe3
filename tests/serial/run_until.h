// Runs Qt's loop for a test until a condition holds or the time is up, sleeping between events.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "support/transcript.h"

namespace flashupdate::testing {

template <typename Condition>
bool runUntil(Condition condition, int timeoutMs = kPatienceMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > timeoutMs) {
            return false;
        }
        // Bounds the sleep: a condition that raises no event of its own is still seen.
        QTimer heartbeat;
        heartbeat.setSingleShot(true);
        heartbeat.start(10);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace flashupdate::testing
