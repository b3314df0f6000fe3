// Everything a run reads before it touches the instrument: the operator's choices become the
// image, the boot loader and the port, or the refusal that ends the run before it starts. The
// files are read here, once, so that the update machine reads none and a front end that only asks
// whether an update could start (a dry run) makes the same checks.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "update/update_machine.h"

namespace flashupdate {

// The boot loader the window loads, next to its executable.
inline constexpr const char* kBootLoaderName = "BOOTLOAD.IMG";

struct RunChoice {
    // txtFileName's text, and filFiles' Path and FileName.
    std::string fileNameText;
    std::string filesPath;
    std::string filesFileName;
    int commPort = 4;
    std::filesystem::path executableDirectory;
    // Named by the operator; empty when it is looked for in the places the window looks.
    std::filesystem::path bootLoaderPath;
};

struct PreparedRun {
    // What the run needs, or nothing when refusal says why it cannot start.
    std::optional<RunInputs> inputs;
    Refusal refusal;
    // The image's length as the window shows it (" 512").
    std::string sizeText;
};

PreparedRun prepareRun(const RunChoice& choice);

}  // namespace flashupdate
