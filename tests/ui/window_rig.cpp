#include "window_rig.h"

#include <string>

namespace flashupdate::testing {

PortMap nowherePorts() {
    PortMap map;
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        map.setDevicePath(port, "/nonexistent/flashupdate-test/com" + std::to_string(port));
    }
    return map;
}

WindowRig::WindowRig(const QString& argumentText, const QString& workingDirectory,
                     const std::filesystem::path& executableDirectory)
    : m_workingDirectory(workingDirectory),
      m_window(std::make_unique<frmMain>(events, port, nowherePorts(), executableDirectory,
                                         argumentText)) {
    m_window->setEndProgram([this] { ++m_endCalls; });
}

}  // namespace flashupdate::testing
