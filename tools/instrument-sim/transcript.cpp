#include "transcript.h"

#include <cerrno>
#include <system_error>

namespace instrument_sim {

Transcript::Transcript(const std::string& path) {
    if (path.empty()) {
        return;
    }
    file_ = std::fopen(path.c_str(), "ae");
    if (file_ == nullptr) {
        throw std::system_error(errno, std::generic_category(), "open transcript " + path);
    }
}

Transcript::~Transcript() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void Transcript::record(double seconds, int baud, std::uint8_t byte) {
    if (file_ != nullptr) {
        std::fprintf(file_, "%.3f %d %02X\n", seconds, baud, static_cast<unsigned>(byte));
    }
}

void Transcript::flush() {
    if (file_ != nullptr) {
        std::fflush(file_);
    }
}

}  // namespace instrument_sim
