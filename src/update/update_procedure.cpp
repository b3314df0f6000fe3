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

void UpdateProcedure::cmdStart_Click() {
    // A press of Start during a run would interleave a second run on the same port.
    if (running()) {
        return;
    }
    m_image.clear();
    m_renderer.beginRun();

    RunChoice choice;
    choice.fileNameText = m_view.fileNameText();
    if (!choice.fileNameText.empty()) {
        choice.filesPath = m_view.filesPath();
        choice.filesFileName = m_view.filesFileName();
    }
    choice.commPort = chosenPort(m_view);
    choice.executableDirectory = m_executableDirectory;
    choice.bootLoaderPath = m_bootLoaderPath;
    PreparedRun prepared = prepareRun(choice);
    if (prepared.inputs) {
        m_image = prepared.inputs->image;
        m_renderer.setSizeText(prepared.sizeText);
        m_session.start(std::move(*prepared.inputs));
    } else {
        m_session.refuse(prepared.refusal);
    }
}

void UpdateProcedure::render(const RunEvent& event) {
    m_renderer.render(event, m_session.result(), m_session.machine().FileCheckSum);
    if (event.awaitsAcknowledgement && m_boxesHold) {
        m_session.acknowledge();
    }
}

}  // namespace flashupdate
