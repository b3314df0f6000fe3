#include "update/update_procedure.h"

#include <iostream>
#include <memory>
#include <utility>

#include "update/image_file.h"
#include "update/number_text.h"
#include "update/protocol.h"
#include "update/stages.h"
#include "update/texts.h"

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBootLoaderName = "BOOTLOAD.IMG";

// The platform's directory separator as text.
const std::string& separator() {
    static const std::string text = textFromPath(fs::path("x") / "y").substr(1, 1);
    return text;
}

// Clears the running flag however the run ends.
class RunGuard {
public:
    explicit RunGuard(bool& running) : m_running(running) { m_running = true; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;
    ~RunGuard() { m_running = false; }

private:
    bool& m_running;
};

}  // namespace

UpdateProcedure::UpdateProcedure(UpdateView& view, SerialLink& link, Timers& timers,
                                 fs::path executableDirectory)
    : m_view(view),
      m_link(link),
      m_timers(timers),
      m_executableDirectory(std::move(executableDirectory)) {}

void UpdateProcedure::cmdStart_Click() {
    // A press of Start inside one of the run's own waits would interleave a second run on the
    // same port, timers and RxData.
    if (m_running) {
        return;
    }
    RunGuard guard(m_running);
    run();
}

namespace {

// Runs body; a failure inside shows the region's message and ends the run. The reason goes to
// standard error for whoever debugs the line.
template <typename Body>
bool guarded(UpdateView& view, const std::string& message, Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (const StopRequested&) {
        throw;
    } catch (const std::exception& error) {
        std::cerr << "flashupdate: " << message << " (" << error.what() << ")" << std::endl;
    } catch (...) {
        std::cerr << "flashupdate: " << message << std::endl;
    }
    view.showMessage(message, MessageIcon::None);
    return false;
}

}  // namespace

void UpdateProcedure::run() {
    for (const Label label :
         {Label::lblCheckSum1, Label::lblCheckSum2, Label::lblCheckSum3, Label::lblCheckSum4,
          Label::lblBytesTransmitted, Label::lblFileSize}) {
        m_view.setLabelVisible(label, false);
    }
    m_view.setLabelCaption(Label::lblBytesT, "");
    m_view.setLabelCaption(Label::lblFileB, "");

    const std::string fileName = m_view.fileNameText();
    if (fileName.empty()) {
        m_view.showMessage(texts::kSelectFile, MessageIcon::None);
        return;
    }

    std::string directoryPath = m_view.filesPath();
    if (directoryPath.empty() || !directoryPath.ends_with(separator())) {
        directoryPath += separator();
    }
    // A name typed or given on the command line is used as it stands; only the name selected
    // in the list is placed in the list's directory.
    const std::string programPath =
        fileName == m_view.filesFileName() ? directoryPath + fileName : fileName;

    std::string sizeText;
    bool tooLarge = false;
    if (!guarded(m_view, texts::kCantFindSizeOf + programPath, [&] {
            const auto length = fileLength(pathFromText(programPath));
            sizeText = numberText(length);
            // Block numbers run out after 24 records: a larger image would have the instrument
            // erased and then fail halfway.
            tooLarge = length > protocol::kMaxImageBytes;
        })) {
        return;
    }
    if (tooLarge) {
        m_view.showMessage(texts::kFileTooLarge + programPath, MessageIcon::None);
        return;
    }

    // Owned here so that a failing region still closes the file.
    std::unique_ptr<ImageFile> bootLoader;
    bool bootLoaderFound = false;
    if (!guarded(m_view, texts::kCantOpenBootLoader, [&] {
            const fs::path bootLoaderPath = m_executableDirectory / kBootLoaderName;
            bootLoaderFound = FileExits(bootLoaderPath);
            if (bootLoaderFound) {
                bootLoader = std::make_unique<ImageFile>(bootLoaderPath);
            }
        })) {
        return;
    }
    if (!bootLoaderFound) {
        m_view.showMessage(texts::kCantFindBootLoaders, MessageIcon::None);
        return;
    }

    StageContext stage{m_view, m_link, m_timers, FileCheckSum};
    bool erased = false;
    if (!guarded(m_view, texts::kErrorOpeningComPort, [&] {
            sendBootLoader(stage, bootLoader);
            erased = eraseMemory(stage);
        })) {
        return;
    }
    if (!erased) {
        return;
    }
    if (!guarded(m_view, texts::kCantOpen + programPath,
                 [&] { sendProgram(stage, pathFromText(programPath), sizeText); })) {
        return;
    }
    guarded(m_view, texts::kProblemReceivingCheckSum, [&] { verifyChecksum(stage); });
}

}  // namespace flashupdate
