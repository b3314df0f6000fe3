// A main window for a test: on a virtual clock and a fake port with nothing on the line, started
// in a working directory of the test's choosing with the command line it gives, and with the end
// of the program replaced by a counter. Controls are found by their object names. The test runs
// the window's loop: virtual time for the run, and Qt's own in between for the boxes.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QMessageBox>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>

#include "fakes/fake_port.h"
#include "fakes/virtual_event_loop.h"
#include "ui/frm_main.h"

namespace flashupdate::testing {

// Ports that lead nowhere: nothing in these tests may reach a real device.
PortMap nowherePorts();

// Changes the process's working directory for its lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const QString& path) : m_previous(QDir::currentPath()) {
        if (!path.isEmpty()) {
            EXPECT_TRUE(QDir::setCurrent(path)) << path.toStdString();
        }
    }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    QString m_previous;
};

class WindowRig {
public:
    // An empty workingDirectory keeps the test process's own. ports only names the devices the
    // buttons' tooltips describe; every opening goes to the fake port, or to line when given.
    explicit WindowRig(
        const QString& argumentText = {}, const QString& workingDirectory = {},
        const std::filesystem::path& executableDirectory = "/nonexistent/flashupdate-test",
        PortMap ports = nowherePorts(), LinePort* line = nullptr);

    // A boot loader and "program.img" of imageBytes in directory, for a window that will run an
    // update from the command line "DIRECTORY/program.img,1".
    static void writeUpdateFiles(const QString& directory, qsizetype imageBytes);

    frmMain& window() { return *m_window; }
    int endCalls() const { return m_endCalls; }
    int runsEnded() const { return m_runsEnded; }

    // The window's message box that is up, if one is.
    QMessageBox* boxUp() const;
    // Runs the window's loop until done() holds; false when virtual time ran away first.
    bool runUntil(const std::function<bool()>& done);
    // Presses Start and runs the loop until the run has ended.
    void startAndAwaitEnd();

    template <typename Control>
    Control* control(const char* name) const {
        auto* const found = m_window->findChild<Control*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << "no control " << name;
        return found;
    }

    VirtualEventLoop events;
    FakePort port{events};

private:
    WorkingDirectory m_workingDirectory;
    std::unique_ptr<frmMain> m_window;
    int m_endCalls = 0;
    int m_runsEnded = 0;
};

}  // namespace flashupdate::testing
