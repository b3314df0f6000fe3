#include "message_box_answerer.h"

#include <QAbstractButton>
#include <QApplication>

namespace flashupdate::testing {

namespace {
constexpr int kLookEveryMs = 5;
}

MessageBoxAnswerer::MessageBoxAnswerer() {
    m_timer.setInterval(kLookEveryMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
    m_timer.start();
}

void MessageBoxAnswerer::answer() {
    auto* const box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
        return;
    }
    m_seen.push_back(
        {box->windowTitle(), box->text(), box->icon(), box->standardButtons(), box->isModal()});
    // Whatever the box offers, OK is what the operator presses; a box without one stays and
    // fails the test by its time-out.
    if (QAbstractButton* const ok = box->button(QMessageBox::Ok)) {
        ok->click();
    }
}

}  // namespace flashupdate::testing
