#include "support/recording_view.h"

namespace flashupdate::testing {

const char* labelName(Label label) {
    // In the order Label declares them.
    static constexpr const char* kNames[] = {"lblStatus",    "lblCheckSum1", "lblCheckSum2",
                                             "lblCheckSum3", "lblCheckSum4", "lblBytesTransmitted",
                                             "lblFileSize",  "lblBytesT",    "lblFileB"};
    return kNames[static_cast<std::size_t>(label)];
}

RecordingView::RecordingView(std::function<Micros()> clock) : m_clock(std::move(clock)) {
    // The window as created: status visible, results hidden with their design captions.
    m_labels[Label::lblStatus] = {"Sending BootLoader", true};
    m_labels[Label::lblCheckSum1] = {"File CheckSum:", false};
    m_labels[Label::lblCheckSum2] = {"Device Checksum:", false};
    m_labels[Label::lblCheckSum3] = {"CheckSum3", false};
    m_labels[Label::lblCheckSum4] = {"CheckSum4", false};
    m_labels[Label::lblBytesTransmitted] = {"Bytes Transmitted: ", false};
    m_labels[Label::lblFileSize] = {"File Size:", false};
    m_labels[Label::lblBytesT] = {"", false};
    m_labels[Label::lblFileB] = {"", false};
}

void RecordingView::setLabelVisible(Label label, bool visible) {
    m_labels[label].visible = visible;
    m_visibilityWrites.push_back(std::string(labelName(label)) + "=" + (visible ? "1" : "0"));
}

void RecordingView::setLabelCaption(Label label, const std::string& caption) {
    m_labels[label].caption = caption;
    m_changes.push_back({label, caption, m_clock()});
}

void RecordingView::showMessage(const std::string& text, MessageIcon icon) {
    m_messages.push_back({text, icon});
    if (onMessage) {
        onMessage(m_messages.back());
    }
}

void RecordingView::progress(Progress what, const UpdateResult& run) {
    m_progress.push_back({what, run.stage, m_clock()});
}

void RecordingView::select(const std::string& directory, const std::string& name) {
    filFilesPath = directory;
    filFilesFileName = name;
    txtFileName = name;
}

std::vector<std::string> RecordingView::messageTexts() const {
    std::vector<std::string> texts;
    for (const auto& message : m_messages) {
        texts.push_back(message.text);
    }
    return texts;
}

std::vector<std::string> RecordingView::statusHistory() const {
    std::vector<std::string> history;
    for (const auto& change : m_changes) {
        if (change.label == Label::lblStatus) {
            history.push_back(change.caption);
        }
    }
    return history;
}

}  // namespace flashupdate::testing
