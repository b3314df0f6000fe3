// The window as one port's update sees it: the image and the port are chosen up front, and
// whatever the window would show becomes an event for the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/event_queue.h"
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

    const std::string& lastStatus() const { return m_lastStatus; }
    const std::vector<std::string>& messages() const { return m_messages; }
    // The instrument's memory has been erased in this run.
    bool eraseReached() const { return m_eraseReached; }

private:
    UpdateEvent event(EventKind kind) const;

    std::size_t m_port;
    int m_comNumber;
    std::filesystem::path m_image;
    std::uint64_t m_total = 0;
    EventQueue& m_events;
    std::string m_lastStatus;
    std::vector<std::string> m_messages;
    bool m_eraseReached = false;
};

}  // namespace flashupdate::cli
