// The window as one port's update sees it: the image and the port are chosen up front, and
// whatever the window would show becomes an event for the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/event_queue.h"
#include "update/update_result.h"
#include "update/update_view.h"

namespace flashupdate::cli {

class CliView final : public UpdateView {
public:
    // image: an absolute path.
    CliView(std::size_t port, int comNumber, std::filesystem::path image, EventQueue& events);

    std::string fileNameText() const override;
    std::string filesPath() const override;
    std::string filesFileName() const override;
    bool comOptionSelected(int port) const override;
    void setLabelVisible(Label label, bool visible) override;
    void setLabelCaption(Label label, const std::string& caption) override;
    void showMessage(const std::string& text, MessageIcon icon) override;
    // Through the renderer, so it never breaks a live line. Called from the update's thread.
    void diagnostic(const std::string& text) override;

    const std::string& lastStatus() const { return m_lastStatus; }
    // The run's own account, which progress is taken from rather than from the captions.
    void follow(const UpdateResult& result) { m_result = &result; }

private:
    UpdateEvent event(EventKind kind) const;

    std::size_t m_port;
    int m_comNumber;
    std::filesystem::path m_image;
    const UpdateResult* m_result = nullptr;
    EventQueue& m_events;
    std::string m_lastStatus;
};

}  // namespace flashupdate::cli
