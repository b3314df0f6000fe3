// A window for the update procedure that records: it holds the operator's choices and keeps every
// message box, and every label change and step of typed progress with the time it happened at
// (from the clock it is given: virtual time on fakes, none in real time). onMessage runs while a
// box is "open", as the operator's hand would (pressing Start again, say); by default the box is
// answered at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "update/update_view.h"

namespace flashupdate::testing {

using Micros = std::int64_t;

struct LabelState {
    std::string caption;
    bool visible = false;
};

struct Message {
    std::string text;
    MessageIcon icon;
};

struct LabelChange {
    Label label;
    std::string caption;
    Micros at;
};

// Each step of progress, with the run's stage as the view was given it then.
struct ProgressStep {
    Progress what;
    UpdateResult::Stage stage;
    Micros at;
};

class RecordingView final : public UpdateView {
public:
    explicit RecordingView(std::function<Micros()> clock = [] { return Micros{0}; });

    std::string fileNameText() const override { return txtFileName; }
    std::string filesPath() const override { return filFilesPath; }
    std::string filesFileName() const override { return filFilesFileName; }
    bool comOptionSelected(int port) const override { return selectedPort == port; }
    void setLabelVisible(Label label, bool visible) override;
    void setLabelCaption(Label label, const std::string& caption) override;
    void showMessage(const std::string& text, MessageIcon icon) override;
    void progress(Progress what, const UpdateResult& run) override;

    // Selects the named file in the file list, as the operator's click does.
    void select(const std::string& directory, const std::string& name);

    std::string txtFileName;
    std::string filFilesPath;
    std::string filFilesFileName;
    int selectedPort = 1;  // 0: no button selected
    std::function<void(const Message&)> onMessage;

    const LabelState& label(Label label) const { return m_labels.at(label); }
    const std::string& caption(Label which) const { return label(which).caption; }
    std::string status() const { return caption(Label::lblStatus); }
    const std::vector<Message>& messages() const { return m_messages; }
    std::vector<std::string> messageTexts() const;
    // Every caption lblStatus was given, in order.
    std::vector<std::string> statusHistory() const;
    const std::vector<LabelChange>& changes() const { return m_changes; }
    // Visibility writes, in order, as "lblFileSize=0".
    const std::vector<std::string>& visibilityWrites() const { return m_visibilityWrites; }
    const std::vector<ProgressStep>& progressSteps() const { return m_progress; }

private:
    std::function<Micros()> m_clock;
    std::map<Label, LabelState> m_labels;
    std::vector<Message> m_messages;
    std::vector<LabelChange> m_changes;
    std::vector<std::string> m_visibilityWrites;
    std::vector<ProgressStep> m_progress;
};

const char* labelName(Label label);

}  // namespace flashupdate::testing
