#include "update/run_preparation.h"

#include <exception>

#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/number_text.h"
#include "update/run_files.h"
#include "update/texts.h"

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

// The platform's directory separator as text.
const std::string& separator() {
    static const std::string text = textFromPath(fs::path("x") / "y").substr(1, 1);
    return text;
}

PreparedRun refused(const std::string& message, const std::string& detail,
                    const std::string& imagePath, std::uint64_t bytesAnnounced = 0,
                    UpdateResult::Cause cause = UpdateResult::Cause::File) {
    PreparedRun prepared;
    prepared.refusal = Refusal{cause, message, detail, imagePath, bytesAnnounced};
    return prepared;
}

}  // namespace

PreparedRun prepareRun(const RunChoice& choice) {
    if (choice.fileNameText.empty()) {
        return refused(texts::kSelectFile, "", "");
    }
    std::string directoryPath = choice.filesPath;
    if (directoryPath.empty() || !directoryPath.ends_with(separator())) {
        directoryPath += separator();
    }
    // A name typed or given on the command line is used as it stands; only the name selected in
    // the list is placed in the list's directory.
    const std::string programPath = choice.fileNameText == choice.filesFileName
                                        ? directoryPath + choice.fileNameText
                                        : choice.fileNameText;

    ImageCheck image = readImage(pathFromText(programPath));
    switch (image.problem) {
        case ImageCheck::Problem::None:
            break;
        case ImageCheck::Problem::NoLength:
            return refused(texts::kCantFindSizeOf + programPath, image.reason, programPath);
        case ImageCheck::Problem::Unreadable:
            // Refused with the transfer's own words before the instrument has been touched.
            return refused(texts::kCantOpen + programPath, image.reason, programPath);
        case ImageCheck::Problem::TooLarge:
            return refused(texts::kFileTooLarge + programPath, "", programPath);
    }
    const std::uint64_t announced =
        protocol::recordsFor(image.bytes.size()) * protocol::kRecordBytes;

    const std::vector<fs::path> places = bootLoaderPlaces(choice.executableDirectory);
    const fs::path bootLoaderPath = choice.bootLoaderPath.empty()
                                        ? locateBootLoader(places, kBootLoaderName)
                                        : choice.bootLoaderPath;
    BootLoaderCheck bootLoader = openBootLoader(bootLoaderPath);
    switch (bootLoader.problem) {
        case BootLoaderCheck::Problem::None:
            break;
        case BootLoaderCheck::Problem::Unreadable:
            return refused(texts::kCantOpenBootLoader, bootLoader.reason, programPath, announced);
        case BootLoaderCheck::Problem::Empty:
            return refused(texts::kCantFindBootLoaders,
                           textFromPath(bootLoaderPath) + ": the file is empty", programPath,
                           announced);
        case BootLoaderCheck::Problem::Missing:
            return refused(
                texts::kCantFindBootLoaders,
                choice.bootLoaderPath.empty()
                    ? notFoundText(places, kBootLoaderName)
                    : textFromPath(bootLoaderPath) + ": no ordinary, visible file of that name",
                programPath, announced);
    }

    PreparedRun prepared;
    RunInputs& inputs = prepared.inputs.emplace();
    inputs.commPort = choice.commPort;
    inputs.imagePath = programPath;
    // The sync byte, then the loader's first 511 bytes; past the end of a shorter file, erased
    // flash.
    inputs.bootLoader[0] = protocol::kBootSync;
    try {
        for (std::size_t i = 1; i < inputs.bootLoader.size(); ++i) {
            inputs.bootLoader[i] = bootLoader.file->readNext();
        }
    } catch (const std::exception& error) {
        // The loader is read as part of loading it, and fails with the port's words.
        return refused(texts::kErrorOpeningComPort, error.what(), programPath, announced,
                       UpdateResult::Cause::Port);
    }
    prepared.sizeText = numberText(image.bytes.size());
    inputs.image = std::move(image.bytes);
    return prepared;
}

}  // namespace flashupdate
