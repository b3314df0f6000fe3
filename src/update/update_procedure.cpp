#include "update/update_procedure.h"

#include <memory>
#include <utility>
#include <vector>

#include "update/image_file.h"
#include "update/number_text.h"
#include "update/protocol.h"
#include "update/stages.h"
#include "update/texts.h"

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

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
      m_bootLoaderPath(executableDirectory / kBootLoaderName) {}

void UpdateProcedure::cmdStart_Click() {
    // A press of Start inside one of the run's own waits would interleave a second run on the
    // same port, timers and RxData.
    if (m_running) {
        return;
    }
    RunGuard guard(m_running);
    m_result = UpdateResult{};
    m_image.clear();
    try {
        run();
    } catch (const StopRequested&) {
        m_result.cause = UpdateResult::Cause::Stopped;
        m_result.reason = "stopped";
        throw;
    }
}

namespace {

// Runs body; a failure inside shows the region's message and ends the run with the given
// cause. The system's reason goes to the view's diagnostics for whoever debugs the line.
template <typename Body>
bool guarded(UpdateView& view, UpdateResult& result, UpdateResult::Cause cause,
             const std::string& message, Body&& body) {
    std::string reason;
    try {
        std::forward<Body>(body)();
        return true;
    } catch (const StopRequested&) {
        throw;
    } catch (const SerialError& error) {
        // Whatever the region was doing, the line itself failed.
        cause = UpdateResult::Cause::Port;
        reason = error.what();
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    result.cause = cause;
    result.reason = reason.empty() ? message : message + " (" + reason + ")";
    view.diagnostic(result.reason);
    view.showMessage(message, MessageIcon::None);
    return false;
}

// A refusal that is not a failure of a step: the message is the whole story.
void refuse(UpdateView& view, UpdateResult& result, UpdateResult::Cause cause,
            const std::string& message) {
    result.cause = cause;
    result.reason = message;
    view.showMessage(message, MessageIcon::None);
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

    using Cause = UpdateResult::Cause;
    using Stage = UpdateResult::Stage;
    const std::string fileName = m_view.fileNameText();
    if (fileName.empty()) {
        refuse(m_view, m_result, Cause::File, texts::kSelectFile);
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
    m_result.imagePath = programPath;

    std::uintmax_t length = 0;
    if (!guarded(m_view, m_result, Cause::File, texts::kCantFindSizeOf + programPath,
                 [&] { length = fileLength(pathFromText(programPath)); })) {
        return;
    }
    // The image is read once, here: the size shown, the records sent and the sum all come from
    // this one reading, whatever happens to the file afterwards. One that cannot be read is
    // refused with the transfer's own words before the instrument has been touched.
    if (length <= protocol::kMaxImageBytes &&
        !guarded(m_view, m_result, Cause::File, texts::kCantOpen + programPath, [&] {
            m_image = readWholeFile(pathFromText(programPath), protocol::kMaxImageBytes + 1);
        })) {
        return;
    }
    // Block numbers run out after 24 records: a larger image would have the instrument erased
    // and then fail halfway.
    if (length > protocol::kMaxImageBytes || m_image.size() > protocol::kMaxImageBytes) {
        refuse(m_view, m_result, Cause::File, texts::kFileTooLarge + programPath);
        return;
    }
    const std::string sizeText = numberText(m_image.size());
    m_result.bytesAnnounced = protocol::recordsFor(m_image.size()) * protocol::kRecordBytes;

    // Owned here so that a failing region still closes the file.
    std::unique_ptr<ImageFile> bootLoader;
    bool bootLoaderFound = false;
    if (!guarded(m_view, m_result, Cause::File, texts::kCantOpenBootLoader, [&] {
            bootLoaderFound = FileExits(m_bootLoaderPath);
            if (bootLoaderFound) {
                bootLoader = std::make_unique<ImageFile>(m_bootLoaderPath);
            }
        })) {
        return;
    }
    if (!bootLoaderFound) {
        refuse(m_view, m_result, Cause::File, texts::kCantFindBootLoaders);
        m_result.reason +=
            " (" + textFromPath(m_bootLoaderPath) + ": no ordinary, visible file of that name)";
        m_view.diagnostic(m_result.reason);
        return;
    }

    StageContext stage{m_view, m_link, m_timers, FileCheckSum, m_result};
    bool erased = false;
    m_result.stage = Stage::BootLoader;
    if (!guarded(m_view, m_result, Cause::Port, texts::kErrorOpeningComPort, [&] {
            sendBootLoader(stage, bootLoader);
            m_result.stage = Stage::Erase;
            erased = eraseMemory(stage);
        })) {
        return;
    }
    if (!erased) {
        return;
    }
    m_result.stage = Stage::Program;
    if (!guarded(m_view, m_result, Cause::Port, texts::kCantOpen + programPath,
                 [&] { sendProgram(stage, m_image, sizeText); })) {
        return;
    }
    m_result.stage = Stage::Checksum;
    // An answer that is not a checksum (one too large to be one) is no answer.
    guarded(m_view, m_result, Cause::NoAnswer, texts::kProblemReceivingCheckSum,
            [&] { verifyChecksum(stage); });
}

}  // namespace flashupdate
