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
#include <vector>

#include "update/serial_link.h"
#include "update/timers.h"
#include "update/update_result.h"
#include "update/update_view.h"

namespace flashupdate {

class UpdateProcedure {
public:
    // The boot loader the window loads, next to its executable.
    static constexpr const char* kBootLoaderName = "BOOTLOAD.IMG";

    UpdateProcedure(UpdateView& view, SerialLink& link, Timers& timers,
                    std::filesystem::path executableDirectory);

    // Another boot loader file than BOOTLOAD.IMG in the places it is looked for (next to the
    // executable first), for a front end that lets the operator name one.
    void setBootLoaderPath(std::filesystem::path path) { m_bootLoaderPath = std::move(path); }

    // Runs one update and returns when it has ended, whatever the ending. A call while a run is
    // in progress (Start pressed inside one of its waits) starts nothing and disturbs nothing.
    void cmdStart_Click();

    bool running() const { return m_running; }
    // How the last run ended, or how far the one in progress has come.
    const UpdateResult& result() const { return m_result; }
    // The program image as the last run read it, once, at its start.
    const std::vector<unsigned char>& image() const { return m_image; }

    // The exact sum of the program data bytes of the last transfer.
    std::uint32_t FileCheckSum = 0;

private:
    void run();

    UpdateView& m_view;
    SerialLink& m_link;
    Timers& m_timers;
    std::filesystem::path m_executableDirectory;
    // Named by the operator; empty when it is looked for in the places above.
    std::filesystem::path m_bootLoaderPath;
    bool m_running = false;
    UpdateResult m_result;
    std::vector<unsigned char> m_image;
};

}  // namespace flashupdate
