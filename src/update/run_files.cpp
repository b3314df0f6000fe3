#include "update/run_files.h"

#include <exception>

#include "update/protocol.h"

namespace flashupdate {

namespace {

// Runs step; what it throws (the file system fails with the standard library's exceptions)
// becomes the problem given, with the system's words.
template <typename Check, typename Step>
bool checked(Check& check, typename Check::Problem problem, Step&& step) {
    try {
        step();
        return true;
    } catch (const std::exception& error) {
        check.reason = error.what();
    }
    check.problem = problem;
    return false;
}

}  // namespace

ImageCheck readImage(const std::filesystem::path& path) {
    using Problem = ImageCheck::Problem;
    ImageCheck check;
    std::uintmax_t length = 0;
    if (!checked(check, Problem::NoLength, [&] { length = fileLength(path); })) {
        return check;
    }
    if (length > protocol::kMaxImageBytes) {
        check.problem = Problem::TooLarge;
        return check;
    }
    if (!checked(check, Problem::Unreadable,
                 [&] { check.bytes = readWholeFile(path, protocol::kMaxImageBytes + 1); })) {
        return check;
    }
    if (check.bytes.size() > protocol::kMaxImageBytes) {
        check.bytes.clear();
        check.problem = Problem::TooLarge;
    }
    return check;
}

BootLoaderCheck openBootLoader(const std::filesystem::path& path) {
    using Problem = BootLoaderCheck::Problem;
    BootLoaderCheck check;
    bool found = false;
    if (!checked(check, Problem::Unreadable, [&] {
            found = FileExits(path);
            if (found) {
                check.file = std::make_unique<ImageFile>(path);
            }
        })) {
        return check;
    }
    if (!found) {
        check.problem = Problem::Missing;
    } else if (check.file->length() == 0) {
        check.file.reset();
        check.problem = Problem::Empty;
    }
    return check;
}

}  // namespace flashupdate
