// An image file opened for reading raw bytes, closed when the object goes away. Reading past the
// end is not an error: it yields 0xFF, the value of erased flash, so what is sent and what is
// summed agree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace flashupdate {

class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ImageFile {
public:
    // Throws FileError when the file cannot be opened for reading.
    explicit ImageFile(const std::filesystem::path& path);
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Length in bytes, taken when the file was opened.
    std::uintmax_t length() const { return m_length; }

    // The next byte in file order.
    unsigned char readNext();
    // Fills the buffer with the bytes from offset on.
    void readAt(std::uintmax_t offset, std::span<unsigned char> buffer);

private:
    void fail(const char* operation) const;

    std::filesystem::path m_path;
    std::ifstream m_stream;
    std::uintmax_t m_length = 0;
    std::uintmax_t m_next = 0;
};

// Length of a named file; throws FileError when it cannot be had (missing, a directory).
std::uintmax_t fileLength(const std::filesystem::path& path);

// The bytes of a file, read in one go, but no more than limit of them. Throws FileError when the
// file cannot be opened or read.
std::vector<unsigned char> readWholeFile(const std::filesystem::path& path, std::uintmax_t limit);

// Whether a search among ordinary files finds the name: a directory or a hidden file of that name
// does not count. A failing search (other than the name being absent) throws FileError.
bool FileExits(const std::filesystem::path& path);

// A path from the UTF-8 text the window holds.
std::filesystem::path pathFromText(const std::string& text);
std::string textFromPath(const std::filesystem::path& path);

}  // namespace flashupdate
