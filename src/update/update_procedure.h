// The update procedure that Start runs: checks the operator's choices, forms the paths, then runs
// the four stages (boot loader, erase, program, checksum) inside five guarded regions. A failure
// inside a region shows that region's message and ends the run.
//
// It is written against the seams only (the view, the serial link, the timers and event pump),
// so the window, the tests and other front ends drive the very same code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "serial/serial_link.h"
#include "serial/timers.h"
#include "update/update_view.h"

namespace flashupdate {

class UpdateProcedure {
public:
    UpdateProcedure(UpdateView& view, SerialLink& link, Timers& timers,
                    std::filesystem::path executableDirectory);

    // Runs one update and returns when it has ended, whatever the ending. A call while a run is
    // in progress (Start pressed inside one of its waits) starts nothing and disturbs nothing.
    void cmdStart_Click();

    bool running() const { return m_running; }

    // The exact sum of the program data bytes of the last transfer.
    std::uint32_t FileCheckSum = 0;

private:
    void run();

    UpdateView& m_view;
    SerialLink& m_link;
    Timers& m_timers;
    std::filesystem::path m_executableDirectory;
    bool m_running = false;
};

}  // namespace flashupdate
