#include "update/update_procedure.h"

#include <utility>

namespace flashupdate {

namespace fs = std::filesystem;

UpdateProcedure::UpdateProcedure(UpdateView& view, LinePort& port, EventLoop& loop,
                                 fs::path executableDirectory)
    : m_view(view), m_session(port, loop), m_executableDirectory(std::move(executableDirectory)) {
    m_session.onEvent = [this](const RunEvent& event) { render(event); };
    m_session.onEnded = [this] {
        if (onEnded) {
            onEnded();
        }
    };
}

RunChoice runChoiceOf(const UpdateView& view, int commPort, fs::path executableDirectory,
                      fs::path bootLoaderPath) {
    RunChoice choice;
    choice.fileNameText = view.fileNameText();
    if (!choice.fileNameText.empty()) {
        choice.filesPath = view.filesPath();
        choice.filesFileName = view.filesFileName();
    }
    choice.commPort = commPort;
    choice.executableDirectory = std::move(executableDirectory);
    choice.bootLoaderPath = std::move(bootLoaderPath);
    return choice;
}

std::vector<unsigned char> startPrepared(PreparedRun prepared, ViewRenderer& renderer,
                                         PortSession& session) {
    if (!prepared.inputs) {
        session.refuse(prepared.refusal);
        return {};
    }
    std::vector<unsigned char> image = prepared.inputs->image;
    renderer.setSizeText(prepared.sizeText);
    session.start(std::move(*prepared.inputs));
    return image;
}

void UpdateProcedure::cmdStart_Click() {
    // A press of Start during a run would interleave a second run on the same port.
    if (running()) {
        return;
    }
    m_image.clear();
    m_renderer.beginRun();
    m_image = startPrepared(prepareRun(runChoiceOf(m_view, chosenPort(m_view),
                                                   m_executableDirectory, m_bootLoaderPath)),
                            m_renderer, m_session);
}

void UpdateProcedure::render(const RunEvent& event) {
    m_renderer.render(event, m_session.result(), m_session.machine().FileCheckSum);
    if (event.awaitsAcknowledgement && m_boxesHold) {
        m_session.acknowledge();
    }
}

}  // namespace flashupdate
