// The view seam: what the update procedure reads from and writes to the main window.
// The window implements it; tests use a recording fake.
#pragma once

#include <string>

namespace flashupdate {

// The labels the procedure writes, named as on the window.
enum class Label {
    lblStatus,
    lblCheckSum1,
    lblCheckSum2,
    lblCheckSum3,
    lblCheckSum4,
    lblBytesTransmitted,
    lblFileSize,
    lblBytesT,
    lblFileB,
};

enum class MessageIcon { None, Exclamation };

class UpdateView {
public:
    virtual ~UpdateView() = default;

    // Text of txtFileName.
    virtual std::string fileNameText() const = 0;
    // Path and selected FileName of filFiles; the path in the platform's own form.
    virtual std::string filesPath() const = 0;
    virtual std::string filesFileName() const = 0;
    // Value of optCom1 to optCom4.
    virtual bool comOptionSelected(int port) const = 0;

    virtual void setLabelVisible(Label label, bool visible) = 0;
    virtual void setLabelCaption(Label label, const std::string& caption) = 0;

    // Modal, OK only, captioned with the application's title; returns when OK is pressed.
    // Texts may hold a carriage return and line feed between lines.
    virtual void showMessage(const std::string& text, MessageIcon icon) = 0;

    // The system's reason behind a failure, for whoever debugs the line; never shown in the
    // window. By default it goes to standard error.
    virtual void diagnostic(const std::string& text);
};

}  // namespace flashupdate
