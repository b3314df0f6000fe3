// Answers the message boxes a test provokes, as an operator pressing OK would, and keeps what each
// one showed. A box is seen as it is shown, whether it runs its own loop (exec()) or returns at
// once (open()); OK is pressed from the event loop that runs next: the box's own, the window's, or
// the one a test runs while it waits.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <vector>

namespace flashupdate::testing {

struct SeenMessageBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
};

class MessageBoxAnswerer final : public QObject {
public:
    MessageBoxAnswerer();
    ~MessageBoxAnswerer() override;
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    const std::vector<SeenMessageBox>& seen() const { return m_seen; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<SeenMessageBox> m_seen;
};

}  // namespace flashupdate::testing
