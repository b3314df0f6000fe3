#include "message_box_answerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMetaObject>

namespace flashupdate::testing {

MessageBoxAnswerer::MessageBoxAnswerer() {
    QApplication::instance()->installEventFilter(this);
}

MessageBoxAnswerer::~MessageBoxAnswerer() {
    QApplication::instance()->removeEventFilter(this);
}

bool MessageBoxAnswerer::eventFilter(QObject* watched, QEvent* event) {
    auto* const box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr || event->type() != QEvent::Show) {
        return false;
    }
    m_seen.push_back(
        {box->windowTitle(), box->text(), box->icon(), box->standardButtons(), box->isModal()});
    // Whatever the box offers, OK is what the operator presses; a box without one stays and
    // fails the test by its time-out. Not from inside the box's showing: the box is not up yet.
    if (QAbstractButton* const ok = box->button(QMessageBox::Ok)) {
        QMetaObject::invokeMethod(ok, &QAbstractButton::click, Qt::QueuedConnection);
    }
    return false;
}

}  // namespace flashupdate::testing
