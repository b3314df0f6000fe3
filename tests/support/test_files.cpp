#include "support/test_files.h"

#include <fstream>
#include <random>
#include <stdexcept>

namespace flashupdate::testing {

std::string randomBytes(std::size_t count, unsigned pattern) {
    std::mt19937 random(pattern);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace flashupdate::testing
