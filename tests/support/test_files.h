// Test data on disk: reproducible random bytes and files written in one go.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace flashupdate::testing {

// count bytes of every value, the same for the same pattern: images and boot loaders whose
// bytes a mistake cannot pass through unnoticed.
std::string randomBytes(std::size_t count, unsigned pattern = 1);

// Replaces the file's content with bytes; throws std::runtime_error when that fails, so a test
// never runs on a file it did not get.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace flashupdate::testing
