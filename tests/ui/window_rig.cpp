#include "window_rig.h"

#include <QCoreApplication>
#include <QFile>
#include <QPushButton>
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
                     const std::filesystem::path& executableDirectory, PortMap ports,
                     LinePort* line)
    : m_workingDirectory(workingDirectory),
      m_window(std::make_unique<frmMain>(events, line != nullptr ? *line : port.control(),
                                         std::move(ports), executableDirectory, argumentText)) {
    m_window->setEndProgram([this] { ++m_endCalls; });
    QObject::connect(m_window.get(), &frmMain::runEnded, [this] { ++m_runsEnded; });
}

QMessageBox* WindowRig::boxUp() const {
    for (QMessageBox* const box : m_window->findChildren<QMessageBox*>()) {
        if (box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

bool WindowRig::runUntil(const std::function<bool()>& done) {
    for (;;) {
        // What Qt has for the window now: a box shown, a click, a close.
        QCoreApplication::processEvents();
        if (done()) {
            return true;
        }
        // A wait that never ends: the loop would say so by throwing.
        if (events.now() > VirtualEventLoop::kRunaway) {
            return false;
        }
        events.pumpWait();
    }
}

void WindowRig::startAndAwaitEnd() {
    const int before = m_runsEnded;
    control<QPushButton>("cmdStart")->click();
    EXPECT_TRUE(runUntil([&] { return m_runsEnded > before; })) << "the run never ended";
}

}  // namespace flashupdate::testing
