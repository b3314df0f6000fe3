#include "window_rig.h"

#include <QFile>
#include <string>
#include <utility>

namespace flashupdate::testing {

PortMap nowherePorts() {
    PortMap map;
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        map.setDevicePath(port, "/nonexistent/flashupdate-test/com" + std::to_string(port));
    }
    return map;
}

void WindowRig::writeUpdateFiles(const QString& directory, qsizetype imageBytes) {
    QFile bootLoader(directory + "/BOOTLOAD.IMG");
    ASSERT_TRUE(bootLoader.open(QIODevice::WriteOnly));
    bootLoader.write(QByteArray(600, '\x5A'));
    QFile image(directory + "/program.img");
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(imageBytes, '\x01'));
}

WindowRig::WindowRig(const QString& argumentText, const QString& workingDirectory,
                     const std::filesystem::path& executableDirectory, PortMap ports)
    : m_workingDirectory(workingDirectory),
      m_window(std::make_unique<frmMain>(events, port, std::move(ports), executableDirectory,
                                         argumentText)) {
    m_window->setEndProgram([this] { ++m_endCalls; });
}

}  // namespace flashupdate::testing
