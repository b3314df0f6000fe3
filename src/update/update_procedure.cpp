#include "update/update_procedure.h"

#include <memory>
#include <utility>
#include <vector>

#include "common/scoped_flag.h"
#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/number_text.h"
#include "update/protocol.h"
#include "update/run_files.h"
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
    const ScopedFlag running(m_running);
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

// A failure of a step: the message is shown and the run ends with the given cause. The system's
// reason goes to the view's diagnostics for whoever debugs the line.
void fail(UpdateView& view, UpdateResult& result, UpdateResult::Cause cause,
          const std::string& message, const std::string& reason) {
    result.cause = cause;
    result.reason = reason.empty() ? message : message + " (" + reason + ")";
    view.diagnostic(result.reason);
    view.showMessage(message, MessageIcon::None);
}

// Runs body; a failure inside shows the region's message and ends the run with the given cause.
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
        result.portError = error.kind();
        reason = error.what();
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    fail(view, result, cause, message, reason);
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

    ImageCheck image = readImage(pathFromText(programPath));
    switch (image.problem) {
        case ImageCheck::Problem::None:
            break;
        case ImageCheck::Problem::NoLength:
            fail(m_view, m_result, Cause::File, texts::kCantFindSizeOf + programPath, image.reason);
            return;
        case ImageCheck::Problem::Unreadable:
            // Refused with the transfer's own words before the instrument has been touched.
            fail(m_view, m_result, Cause::File, texts::kCantOpen + programPath, image.reason);
            return;
        case ImageCheck::Problem::TooLarge:
            refuse(m_view, m_result, Cause::File, texts::kFileTooLarge + programPath);
            return;
    }
    m_image = std::move(image.bytes);
    const std::string sizeText = numberText(m_image.size());
    m_result.bytesAnnounced = protocol::recordsFor(m_image.size()) * protocol::kRecordBytes;

    const std::vector<fs::path> places = bootLoaderPlaces(m_executableDirectory);
    const fs::path bootLoaderPath =
        m_bootLoaderPath.empty() ? locateBootLoader(places, kBootLoaderName) : m_bootLoaderPath;
    BootLoaderCheck bootLoader = openBootLoader(bootLoaderPath);
    switch (bootLoader.problem) {
        case BootLoaderCheck::Problem::None:
            break;
        case BootLoaderCheck::Problem::Unreadable:
            fail(m_view, m_result, Cause::File, texts::kCantOpenBootLoader, bootLoader.reason);
            return;
        case BootLoaderCheck::Problem::Missing:
        case BootLoaderCheck::Problem::Empty:
            refuse(m_view, m_result, Cause::File, texts::kCantFindBootLoaders);
            if (bootLoader.problem == BootLoaderCheck::Problem::Empty) {
                m_result.reason += " (" + textFromPath(bootLoaderPath) + ": the file is empty)";
            } else if (m_bootLoaderPath.empty()) {
                m_result.reason += " (" + notFoundText(places, kBootLoaderName) + ")";
            } else {
                m_result.reason += " (" + textFromPath(bootLoaderPath) +
                                   ": no ordinary, visible file of that name)";
            }
            m_view.diagnostic(m_result.reason);
            return;
    }

    StageContext stage{m_view, m_link, m_timers, FileCheckSum, m_result};
    bool erased = false;
    stage.enter(Stage::BootLoader);
    if (!guarded(m_view, m_result, Cause::Port, texts::kErrorOpeningComPort, [&] {
            sendBootLoader(stage, bootLoader.file);
            stage.enter(Stage::Erase);
            erased = eraseMemory(stage);
        })) {
        return;
    }
    if (!erased) {
        return;
    }
    stage.enter(Stage::Program);
    if (!guarded(m_view, m_result, Cause::Port, texts::kCantOpen + programPath,
                 [&] { sendProgram(stage, m_image, sizeText); })) {
        return;
    }
    stage.enter(Stage::Checksum);
    // An answer that is not a checksum (one too large to be one) is no answer.
    guarded(m_view, m_result, Cause::NoAnswer, texts::kProblemReceivingCheckSum,
            [&] { verifyChecksum(stage); });
}

}  // namespace flashupdate
