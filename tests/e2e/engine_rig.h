// The engine on the real serial layer and Qt's event loop, with a view that records (its boxes
// answered at once), driving the instrument simulator on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>

#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/recording_view.h"
#include "support/simulator_process.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {

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
        SerialControl port(map, events, systemTransports());
        view.select(m_dir.path().toStdString(), "PROG.IMG");
        UpdateProcedure procedure(view, port, events, m_dir.path().toStdString());
        // The only loop: the run goes on from it until it has ended.
        QEventLoop loop;
        procedure.onEnded = [&loop] { loop.quit(); };
        QElapsedTimer elapsed;
        elapsed.start();
        procedure.cmdStart_Click();
        if (procedure.running()) {
            loop.exec();
        }
        portOpenAfter = port.portOpen();
        result = procedure.result();
        return static_cast<double>(elapsed.elapsed()) / 1000.0;
    }

    QTemporaryDir m_dir;
    std::string m_bootLoader;
    RecordingView view;
    bool portOpenAfter = true;
    UpdateResult result;
};

}  // namespace flashupdate::testing
