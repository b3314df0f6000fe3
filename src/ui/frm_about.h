// The About box: the program's title and version, the maker's logo, copyright and address, and the
// legal warning. The main window's Help, About calls frmAbout::showInstance() and carries on at
// once: the box is modeless and has no owner, so the main window and a running update stay usable,
// and closing the main window does not close it.
//
// There is at most one box. showInstance() builds it when none is open, which runs Form_Load
// (centre on the screen, fill the labels), and otherwise only brings the open one to the front.
// OK, Enter, the space bar on OK, Escape and the title bar's close button all close the box and
// delete it; the next showInstance() builds and centres a fresh one.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace flashupdate {

class frmAbout : public QDialog {
    Q_OBJECT

public:
    // Shows the box, building it first if none is open, and returns it.
    static frmAbout* showInstance();
    // The open box, or nullptr when there is none; a box being closed no longer counts.
    static frmAbout* instance();

    ~frmAbout() override;

private:
    frmAbout();

    void Form_Load();
    void OKButton_Click();

    QLabel* m_Picture1 = nullptr;
    QPushButton* m_OKButton = nullptr;
    QLabel* m_lblVerson = nullptr;
    QLabel* m_lblTitle = nullptr;
    QLabel* m_lblAddress = nullptr;
    QLabel* m_lblWarn = nullptr;
    QFrame* m_Line1 = nullptr;
};

}  // namespace flashupdate
