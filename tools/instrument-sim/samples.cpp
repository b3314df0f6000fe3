#include "samples.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace instrument_sim {

namespace {

struct Sample {
    const char* name;
    std::size_t size;
    std::uint32_t seed;
};

// The boot loader the tool sends is 0xFF and the file's first 511 bytes; the image is
// padded with 0xFF to a whole record of 16384.
constexpr std::array kSamples{Sample{"BOOTLOAD.IMG", 511, 0x0B007u},
                              Sample{"SAMPLE.IMG", 12000, 0x1A6Eu}};

std::vector<char> sample_bytes(const Sample& sample) {
    std::vector<char> bytes(sample.size);
    std::uint32_t state = sample.seed;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;  // a plain LCG is enough for sample bytes
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace

int write_samples(const std::string& directory, const std::string& program) {
    for (const Sample& sample : kSamples) {
        const std::string path = directory + "/" + sample.name;
        if (::access(path.c_str(), F_OK) == 0) {
            std::fprintf(stderr, "%s: %s exists: nothing written, nothing replaced\n",
                         program.c_str(), path.c_str());
            return 1;
        }
    }
    for (const Sample& sample : kSamples) {
        const std::string path = directory + "/" + sample.name;
        const std::vector<char> bytes = sample_bytes(sample);
        int error = 0;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = errno;
        } else {
            errno = 0;
            if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                // A short write without an error is a full disk.
                error = errno != 0 ? errno : ENOSPC;
            }
            if (::close(fd) < 0 && error == 0) {
                error = errno;
            }
        }
        if (error != 0) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", program.c_str(), path.c_str(),
                         std::strerror(error));
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}

}  // namespace instrument_sim
