// The engine on the real serial layer and Qt's event loop, with a view that records, driving
// the instrument simulator on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <fstream>
#include <map>
#include <random>

#include "serial/qt_event_loop.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_link.h"
#include "serial/timers.h"
#include "support/simulator_process.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {

// A window that records; its message boxes are answered at once.
class RecordingView final : public UpdateView {
public:
    std::string fileNameText() const override { return fileName; }
    std::string filesPath() const override { return directory; }
    std::string filesFileName() const override { return fileName; }
    bool comOptionSelected(int port) const override { return port == 1; }
    void setLabelVisible(Label label, bool visible) override { this->visible[label] = visible; }
    void setLabelCaption(Label label, const std::string& caption) override {
        captions[label] = caption;
        if (label == Label::lblStatus) {
            statuses.push_back(caption);
        }
    }
    void showMessage(const std::string& text, MessageIcon) override { messages.push_back(text); }

    std::string fileName;
    std::string directory;
    std::map<Label, std::string> captions;
    std::map<Label, bool> visible;
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
};

inline std::string randomBytes(std::size_t count, unsigned pattern) {
    std::mt19937 random(pattern);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

inline void writeFile(const QString& path, const std::string& bytes) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class EngineE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_bootLoader = randomBytes(511, 1);
        writeFile(m_dir.filePath("BOOTLOAD.IMG"), m_bootLoader);
    }

    // Runs one update against a simulator; returns the wall time in seconds.
    double update(SimulatorProcess& simulator, const std::string& image) {
        writeFile(m_dir.filePath("PROG.IMG"), image);
        PortMap map;
        map.setDevicePath(1, simulator.devicePath());
        QtEventLoop events;
        QtSerialPort port(map);
        SerialLink link(port);
        Timers timers(events);
        view.directory = m_dir.path().toStdString();
        view.fileName = "PROG.IMG";
        UpdateProcedure procedure(view, link, timers, m_dir.path().toStdString());
        QElapsedTimer elapsed;
        elapsed.start();
        procedure.cmdStart_Click();
        portOpenAfter = port.portOpen();
        return static_cast<double>(elapsed.elapsed()) / 1000.0;
    }

    QTemporaryDir m_dir;
    std::string m_bootLoader;
    RecordingView view;
    bool portOpenAfter = true;
};

}  // namespace flashupdate::testing
