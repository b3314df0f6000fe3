// The update procedure that Start runs, as the window has always run it: one call that returns
// when the run has ended. It drives the update machine over the seams (the view, the serial link,
// the timers' event loop): it carries out the machine's port actions, renders its events into the
// window's labels and boxes, and between them pumps the event loop until the machine's next
// deadline or a receive event.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "update/run_preparation.h"
#include "update/serial_link.h"
#include "update/timers.h"
#include "update/update_machine.h"
#include "update/update_result.h"
#include "update/update_view.h"
#include "update/view_renderer.h"

namespace flashupdate {

class UpdateProcedure {
public:
    static constexpr const char* kBootLoaderName = flashupdate::kBootLoaderName;

    UpdateProcedure(UpdateView& view, SerialLink& link, Timers& timers,
                    std::filesystem::path executableDirectory);
    ~UpdateProcedure();
    UpdateProcedure(const UpdateProcedure&) = delete;
    UpdateProcedure& operator=(const UpdateProcedure&) = delete;

    // Another boot loader file than BOOTLOAD.IMG in the places it is looked for (next to the
    // executable first), for a front end that lets the operator name one.
    void setBootLoaderPath(std::filesystem::path path) { m_bootLoaderPath = std::move(path); }

    // Runs one update and returns when it has ended, whatever the ending. A call while a run is
    // in progress (Start pressed inside one of its waits) starts nothing and disturbs nothing.
    void cmdStart_Click();

    bool running() const { return m_running; }
    // How the last run ended, or how far the one in progress has come, as the view was told.
    const UpdateResult& result() const { return m_shown; }
    // The program image as the last run read it, once, at its start.
    const std::vector<unsigned char>& image() const { return m_image; }

private:
    void drive();
    void carryOut(const PortAction& action);
    void render(const RunEvent& event);
    UpdateMachine::Nanos now() { return m_timers.events.monotonicTime(); }

    UpdateView& m_view;
    ViewRenderer m_renderer{m_view};
    SerialLink& m_link;
    Timers& m_timers;
    std::filesystem::path m_executableDirectory;
    // Named by the operator; empty when it is looked for in the places above.
    std::filesystem::path m_bootLoaderPath;
    bool m_running = false;
    UpdateMachine m_machine;
    // The run's account as the view has been told it so far.
    UpdateResult m_shown;
    std::vector<unsigned char> m_image;

public:
    // The exact sum of the program data bytes of the last transfer.
    const std::uint32_t& FileCheckSum = m_machine.FileCheckSum;
};

}  // namespace flashupdate
