// One window's worth of update machinery on fakes: virtual clock, fake port with a scripted
// instrument, recording view, and a scratch directory standing for the executable's directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fakes/fake_port.h"
#include "fakes/scripted_instrument.h"
#include "fakes/virtual_event_loop.h"
#include "support/recording_view.h"
#include "support/test_files.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {

namespace fs = std::filesystem;

inline std::uint32_t byteSum(const ByteText& bytes) {
    std::uint32_t sum = 0;
    for (const char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    return sum;
}

class Rig {
public:
    Rig()
        : root(fs::temp_directory_path() /
               ("flashupdate-test-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                std::to_string(reinterpret_cast<std::uintptr_t>(this)))),
          executableDir(root / "bin"),
          imageDir(root / "images"),
          update(view, port, loop, executableDir) {
        fs::create_directories(executableDir);
        fs::create_directories(imageDir);
        port.setInstrument(&instrument);
        writeFile(executableDir / "BOOTLOAD.IMG", randomBytes(600, 7));
    }
    ~Rig() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Selects an image in the file list, as the operator's click does.
    fs::path selectImage(const ByteText& bytes, const std::string& name = "PROG.IMG") {
        const fs::path path = imageDir / name;
        writeFile(path, bytes);
        view.select(imageDir.string(), name);
        return path;
    }

    // Presses Start and runs the loop until the run has ended.
    void start() {
        update.cmdStart_Click();
        while (update.running() && !loop.ranAway()) {
            loop.pumpWait();
        }
        ASSERT_FALSE(loop.ranAway()) << "a wait never ended";
    }

    std::vector<std::string> messageTexts() const { return view.messageTexts(); }

    fs::path root;
    fs::path executableDir;
    fs::path imageDir;
    VirtualEventLoop loop;
    FakePort port{loop};
    RecordingView view{[this] { return loop.now(); }};
    ScriptedInstrument instrument;
    UpdateProcedure update;
};

}  // namespace flashupdate::testing
