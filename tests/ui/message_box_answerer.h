// Answers the modal message boxes a test provokes, as an operator pressing OK would, and keeps
// what each one showed. The boxes run their own event loop, so the answer comes from a timer that
// keeps looking for a box while the test waits inside exec().
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <vector>

namespace flashupdate::testing {

struct SeenMessageBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
};

class MessageBoxAnswerer {
public:
    MessageBoxAnswerer();
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    const std::vector<SeenMessageBox>& seen() const { return m_seen; }

private:
    void answer();

    QTimer m_timer;
    std::vector<SeenMessageBox> m_seen;
};

}  // namespace flashupdate::testing
