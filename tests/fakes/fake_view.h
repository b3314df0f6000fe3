// A window for the update procedure: holds the operator's choices, records every label change and
// message box with the virtual time it happened at. onMessage runs while a box is "open", as the
// operator's hand would (pressing Start again, say).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fakes/virtual_event_loop.h"
#include "update/update_view.h"

namespace flashupdate::testing {

struct LabelState {
    std::string caption;
    bool visible = false;
};

struct Message {
    std::string text;
    MessageIcon icon;
    Micros at;
};

struct LabelChange {
    Label label;
    std::string caption;
    Micros at;
};

class FakeView final : public UpdateView {
public:
    explicit FakeView(const VirtualEventLoop& clock);

    std::string fileNameText() const override { return txtFileName; }
    std::string filesPath() const override { return filFilesPath; }
    std::string filesFileName() const override { return filFilesFileName; }
    bool comOptionSelected(int port) const override;
    void setLabelVisible(Label label, bool visible) override;
    void setLabelCaption(Label label, const std::string& caption) override;
    void showMessage(const std::string& text, MessageIcon icon) override;

    std::string txtFileName;
    std::string filFilesPath;
    std::string filFilesFileName;
    int selectedPort = 1;  // 0: no button selected
    std::function<void(const Message&)> onMessage;

    const LabelState& label(Label label) const { return m_labels.at(label); }
    std::string status() const { return label(Label::lblStatus).caption; }
    const std::vector<Message>& messages() const { return m_messages; }
    // Every caption lblStatus was given, in order.
    std::vector<std::string> statusHistory() const;
    // When lblStatus was first given caption; -1 if never.
    Micros statusTime(const std::string& caption) const;
    const std::vector<LabelChange>& changes() const { return m_changes; }
    // Visibility writes, in order, as "lblFileSize=0".
    const std::vector<std::string>& visibilityWrites() const { return m_visibilityWrites; }

private:
    const VirtualEventLoop& m_clock;
    std::map<Label, LabelState> m_labels;
    std::vector<Message> m_messages;
    std::vector<LabelChange> m_changes;
    std::vector<std::string> m_visibilityWrites;
};

const char* labelName(Label label);

}  // namespace flashupdate::testing
