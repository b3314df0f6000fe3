// The window as one port's update sees it, and the events it hands to the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "update/update_result.h"
#include "update/update_view.h"

namespace flashupdate::cli {

// What a port's update reports to the main thread, which alone writes to the terminal.
// Diagnostic: the system's reason behind a failure, for whoever debugs the line.
enum class EventKind { Status, Progress, Message, Diagnostic, Result };

// What a run works with, as its records name it.
struct RunSubject {
    std::string image;  // the image's path, absolute
    std::string device;
    std::string adapterSerial;
    std::string label;       // the instrument's, from a job file
    std::string bootLoader;  // the file it loads
    std::string bootLoaderSha256;
};

struct UpdateEvent {
    std::size_t port = 0;  // index into the ports of the command line
    // The id of the attempt it belongs to, which the log's lines carry.
    std::string runId;
    EventKind kind = EventKind::Status;
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    // Status and Message: the window's text, unchanged. Result: a sentence for the operator.
    std::string text;

    // Progress: what moved on.
    Progress progress = Progress::StageEntered;
    // The procedure's own account of the run at that moment: for a status, message or
    // diagnostic, when it was said (once the view follows the run); so the output can tell the
    // stage a text belongs to, and what the run knew then, without reading the text.
    UpdateResult result;

    // Result.
    int exitCode = 0;
    std::string outcome;  // a short name: "updated", "bad-checksum", ...
    std::string sha256;   // of the image as the run read it; empty when it was not read
    std::optional<std::uint64_t> imageBytes;  // how many bytes it read
    RunSubject subject;
    std::chrono::system_clock::time_point started;
    // Which attempt this is, of how many the port may have; the port's last result has last.
    int attempt = 1;
    int attempts = 1;
    bool last = true;
    // False for the result of an attempt that never began (a stop during the pause before it).
    bool ran = true;
    // The signal that stopped it, 0 for none.
    int signal = 0;
};

// Hands events from the update threads to the main thread. The main thread sleeps on it; it
// wakes for an event or when its time-out passes (to redraw a count-down).
class EventQueue {
public:
    void push(UpdateEvent event);
    // Everything queued, waiting up to timeout for the first event.
    std::vector<UpdateEvent> take(std::chrono::milliseconds timeout);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<UpdateEvent> m_events;
};

// The window as one port's update sees it: the image and the port are chosen up front, and
// whatever the window would show becomes an event for the main thread.
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
    void progress(Progress what, const UpdateResult& run) override;
    // Through the renderer, so it never breaks a live line. Called from the update's thread.
    void diagnostic(const std::string& text) override;

    // The status line as the window would show it now, for the operator's account of a stop.
    const std::string& lastStatus() const { return m_lastStatus; }
    // The procedure's account of its run, which every later event carries as it stands then.
    // The procedure is made after its view, so this comes afterwards.
    void follow(const UpdateResult& run) { m_run = &run; }
    // Told on the update's thread, in order with its bytes on the line, as the run enters each
    // stage: for the record of the wire.
    void setStageObserver(std::function<void(const UpdateResult& run)> observer) {
        m_stageObserver = std::move(observer);
    }
    // The attempt that every later event belongs to.
    void setRunId(std::string id) { m_runId = std::move(id); }
    const std::string& runId() const { return m_runId; }

private:
    UpdateEvent event(EventKind kind) const;

    std::size_t m_port;
    int m_comNumber;
    std::filesystem::path m_image;
    EventQueue& m_events;
    std::string m_lastStatus;
    std::string m_runId;
    const UpdateResult* m_run = nullptr;
    std::function<void(const UpdateResult&)> m_stageObserver;
};

}  // namespace flashupdate::cli
