// The view seam: what the update procedure reads from and writes to the main window.
// The window implements it; tests use a recording fake.
#pragma once

#include <string>

#include "update/update_result.h"

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

// What has just moved on in a run, reported beside the captions.
enum class Progress {
    StageEntered,  // the run's stage is the one it has just entered
    MemoryErased,  // the instrument has answered the erase command: its memory is erased
    BytesSent,     // lblBytesT has just been given the run's bytes sent
};

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

    // Modal, OK only, captioned with the application's title. The run waits until OK is pressed:
    // a view whose box holds the caller returns then, and the window, whose box does not, lets
    // the run go on when the box is closed (view_renderer.h). Texts may hold a carriage return
    // and line feed between lines.
    virtual void showMessage(const std::string& text, MessageIcon icon) = 0;

    // Typed progress, for a front end that acts on how far a run has come (an estimate of the
    // time left, a log) rather than reading back the texts it was shown: run is the run's own
    // account at that moment. The window needs none of it; by default nothing happens.
    virtual void progress(Progress what, const UpdateResult& run);

    // The system's reason behind a failure, for whoever debugs the line; never shown in the
    // window. By default it goes to standard error.
    virtual void diagnostic(const std::string& text);
};

}  // namespace flashupdate
