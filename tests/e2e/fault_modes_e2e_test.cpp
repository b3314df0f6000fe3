// Troubles that only a real line shows, and the ending the operator sees for each: the engine on
// the real serial layer and Qt's event loop, with a view that records (its boxes answered at
// once), driving instrument simulators on pseudo-terminals. What the instrument answers is judged
// once, on virtual time, by the unit tests; here only what a real line adds to it: how a
// pseudo-terminal cuts an answer into receive events, and a line that drops as the instrument
// restarts.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <algorithm>
#include <memory>
#include <vector>

#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/recording_view.h"
#include "support/simulator_process.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {
namespace {

struct FaultCase {
    const char* fault;
    const char* status;
    const char* message;  // empty: no message box
};

// One update against a simulator of its own, on the loop that drives the others.
struct FaultRun {
    explicit FaultRun(const FaultCase& c)
        : fault(c), simulator({"--fault", c.fault, "--erase-ms", "50"}) {
        writeFile(dir.filePath("BOOTLOAD.IMG"), randomBytes(511, 1));
        writeFile(dir.filePath("PROG.IMG"), randomBytes(10000, 9));
        map.setDevicePath(1, simulator.devicePath());
        port = std::make_unique<SerialControl>(map, events, systemTransports());
        view.select(dir.path().toStdString(), "PROG.IMG");
        procedure =
            std::make_unique<UpdateProcedure>(view, *port, events, dir.path().toStdString());
    }

    const FaultCase& fault;
    SimulatorProcess simulator;
    QTemporaryDir dir;
    PortMap map;
    QtEventLoop events;
    std::unique_ptr<SerialControl> port;
    RecordingView view;
    std::unique_ptr<UpdateProcedure> procedure;
};

// A run on the line takes half a minute: the cases run at once.
TEST(FaultModes, EachEndsAsTheOperatorExpects) {
    const FaultCase cases[] = {
        // Two deliveries 400 ms apart stay two receive events; one burst cut up by the transport
        // is one.
        {"checksum-split", "Check Sum not Received", " Check Sum not Received"},
        {"checksum-packets", "FLASH updated successfully  ", ""},
        // Verified, then the line drops as the instrument restarts: verified it stays.
        {"hangup-after-checksum", "FLASH updated successfully  ", ""},
    };
    std::vector<std::unique_ptr<FaultRun>> runs;
    // The only loop: the runs go on from it until each has ended.
    QEventLoop loop;
    for (const FaultCase& c : cases) {
        runs.push_back(std::make_unique<FaultRun>(c));
        runs.back()->procedure->onEnded = [&loop] { loop.quit(); };
    }
    for (const auto& run : runs) {
        run->procedure->cmdStart_Click();
    }
    while (std::any_of(runs.begin(), runs.end(),
                       [](const auto& run) { return run->procedure->running(); })) {
        loop.exec();
    }

    for (const auto& run : runs) {
        SCOPED_TRACE(run->fault.fault);
        EXPECT_EQ(run->view.status(), run->fault.status);
        if (std::string(run->fault.message).empty()) {
            EXPECT_TRUE(run->view.messages().empty());
        } else {
            EXPECT_EQ(run->view.messageTexts(), std::vector<std::string>{run->fault.message});
        }
        EXPECT_FALSE(run->port->portOpen());
    }
}

}  // namespace
}  // namespace flashupdate::testing
