// The operator's mouse and keyboard, delivered as the toolkit delivers them.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>

namespace flashupdate::testing {

inline void pressKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(widget, &release);
}

inline void sendMouse(QListWidget* list, QEvent::Type type, const QPoint& at) {
    QWidget* const viewport = list->viewport();
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
    QMouseEvent event(type, QPointF(at), QPointF(viewport->mapToGlobal(at)), Qt::LeftButton, held,
                      Qt::NoModifier);
    QApplication::sendEvent(viewport, &event);
}

// The list must be shown, so that its rows have a place.
inline void clickRow(QListWidget* list, int row) {
    const QPoint at = list->visualItemRect(list->item(row)).center();
    sendMouse(list, QEvent::MouseButtonPress, at);
    sendMouse(list, QEvent::MouseButtonRelease, at);
}

inline void doubleClickRow(QListWidget* list, int row) {
    clickRow(list, row);
    const QPoint at = list->visualItemRect(list->item(row)).center();
    sendMouse(list, QEvent::MouseButtonDblClick, at);
    sendMouse(list, QEvent::MouseButtonRelease, at);
}

inline QStringList rowTexts(const QListWidget* list) {
    QStringList texts;
    for (int row = 0; row < list->count(); ++row) {
        texts.append(list->item(row)->text());
    }
    return texts;
}

}  // namespace flashupdate::testing
