// The two files a run reads before it touches the instrument, checked as an update checks them.
// A front end that only asks whether an update could start (a dry run) calls the same checks, so
// the two can never disagree about an image or a boot loader.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "update/image_file.h"

namespace flashupdate {

struct ImageCheck {
    enum class Problem { None, NoLength, Unreadable, TooLarge };
    Problem problem = Problem::None;
    // The system's words behind NoLength and Unreadable.
    std::string reason;
    // The whole image, read once, when there is no problem: the size shown, the records sent
    // and the sum all come from this one reading, whatever happens to the file afterwards.
    std::vector<unsigned char> bytes;
};

// Takes the image's length, then reads it whole. Block numbers run out after 24 records, so a
// longer image is refused, unread or as read (it may have grown in between): it would have the
// instrument erased and then fail halfway.
ImageCheck readImage(const std::filesystem::path& path);

struct BootLoaderCheck {
    enum class Problem { None, Missing, Empty, Unreadable };
    Problem problem = Problem::None;
    // The system's words behind Unreadable.
    std::string reason;
    // Open at its first byte when there is no problem.
    std::unique_ptr<ImageFile> file;
};

// The boot loader must be an ordinary, visible file (FileExits) that opens for reading and holds
// at least one byte: an empty one would be sent as filler, and the instrument would run that.
BootLoaderCheck openBootLoader(const std::filesystem::path& path);

}  // namespace flashupdate
