// What Start runs in the window, without its widgets: it reads what the operator chose from the
// view, reads the files, and starts one port's update (PortSession) whose events become the
// view's captions, labels and boxes (ViewRenderer). Nothing here waits: Start returns at once, the
// run goes on from the event loop, and onEnded says when it is over.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "serial/event_loop.h"
#include "serial/line_port.h"
#include "update/port_session.h"
#include "update/run_preparation.h"
#include "update/update_result.h"
#include "update/update_view.h"
#include "update/view_renderer.h"

namespace flashupdate {

// What the operator chose in the view, as a run reads it: the name typed, with the list's folder
// and file when there is one, the port, and where the boot loader is looked for.
RunChoice runChoiceOf(const UpdateView& view, int commPort,
                      std::filesystem::path executableDirectory,
                      std::filesystem::path bootLoaderPath = {});

// Starts the session's run with what was read for it, or ends it at once with the refusal; the
// renderer learns the image's size. Returns the image as the run read it.
std::vector<unsigned char> startPrepared(PreparedRun prepared, ViewRenderer& renderer,
                                         PortSession& session);

class UpdateProcedure {
public:
    static constexpr const char* kBootLoaderName = flashupdate::kBootLoaderName;

    UpdateProcedure(UpdateView& view, LinePort& port, EventLoop& loop,
                    std::filesystem::path executableDirectory);
    UpdateProcedure(const UpdateProcedure&) = delete;
    UpdateProcedure& operator=(const UpdateProcedure&) = delete;

    // Another boot loader file than BOOTLOAD.IMG in the places it is looked for (next to the
    // executable first), for a front end that lets the operator name one.
    void setBootLoaderPath(std::filesystem::path path) { m_bootLoaderPath = std::move(path); }
    // A view whose boxes return before the operator has closed them: the front end calls
    // acknowledge() when one is closed. By default a box is taken as closed once showMessage()
    // has returned.
    void setBoxesHoldTheCaller(bool hold) { m_boxesHold = hold; }

    // Starts one update with what the view shows and returns. Ignored while a run is in progress.
    void cmdStart_Click();
    // The operator has closed the box the run showed last.
    void acknowledge() { m_session.acknowledge(); }
    // Nothing more reaches the instrument; the run ends as stopped once the port is let go.
    void stop() { m_session.stop(); }

    bool running() const { return m_session.running(); }
    // How the last run ended, or how far the one in progress has come.
    const UpdateResult& result() const { return m_session.result(); }
    // The program image as the last run read it, once, at its start.
    const std::vector<unsigned char>& image() const { return m_image; }

    // The run has ended; result() is final.
    std::function<void()> onEnded;

private:
    void render(const RunEvent& event);

    UpdateView& m_view;
    ViewRenderer m_renderer{m_view};
    PortSession m_session;
    std::filesystem::path m_executableDirectory;
    // Named by the operator; empty when it is looked for in the places above.
    std::filesystem::path m_bootLoaderPath;
    bool m_boxesHold = true;
    std::vector<unsigned char> m_image;

public:
    // The exact sum of the program data bytes of the last transfer.
    const std::uint32_t& FileCheckSum = m_session.machine().FileCheckSum;
};

}  // namespace flashupdate
