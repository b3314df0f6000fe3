#include "update/image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "update/protocol.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace flashupdate {

namespace fs = std::filesystem;

ImageFile::ImageFile(const fs::path& path) : m_path(path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        throw FileError(textFromPath(path) + ": " +
                        (error ? error.message() : std::string("not a regular file")));
    }
    m_stream.open(path, std::ios::binary);
    if (!m_stream) {
        fail("cannot open");
    }
    m_length = fs::file_size(path, error);
    if (error) {
        throw FileError(textFromPath(path) + ": " + error.message());
    }
}

void ImageFile::fail(const char* operation) const {
    const int code = errno;
    throw FileError(textFromPath(m_path) + ": " + operation +
                    (code != 0 ? std::string(": ") + std::strerror(code) : std::string()));
}

unsigned char ImageFile::readNext() {
    unsigned char byte = protocol::kErasedByte;
    readAt(m_next, {&byte, 1});
    ++m_next;
    return byte;
}

void ImageFile::readAt(std::uintmax_t offset, std::span<unsigned char> buffer) {
    std::ranges::fill(buffer, protocol::kErasedByte);
    if (offset >= m_length || buffer.empty()) {
        return;
    }
    const auto wanted =
        static_cast<std::streamsize>(std::min<std::uintmax_t>(buffer.size(), m_length - offset));
    m_stream.clear();
    m_stream.seekg(static_cast<std::streamoff>(offset));
    m_stream.read(reinterpret_cast<char*>(buffer.data()), wanted);
    // A file that shrank since it was opened reads as erased flash past its new end; a failing
    // device is an error.
    if (m_stream.bad()) {
        fail("read failed");
    }
    const auto got = m_stream.gcount();
    std::fill(buffer.begin() + got, buffer.end(), protocol::kErasedByte);
}

std::uintmax_t fileLength(const fs::path& path) {
    std::error_code error;
    const auto length = fs::file_size(path, error);
    if (error) {
        throw FileError(textFromPath(path) + ": " + error.message());
    }
    return length;
}

std::vector<unsigned char> readWholeFile(const fs::path& path, std::uintmax_t limit) {
    ImageFile file(path);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min(file.length(), limit)));
    file.readAt(0, bytes);
    return bytes;
}

namespace {
bool isHiddenName(const fs::path& path) {
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}
}  // namespace

bool FileExits(const fs::path& path) {
    std::error_code error;
    const auto status = fs::status(path, error);
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory) {
        throw FileError(textFromPath(path) + ": " + error.message());
    }
    if (!fs::is_regular_file(status)) {
        return false;
    }
#ifdef _WIN32
    // Hidden and system files are left out of a search for ordinary files.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
        return false;
    }
#endif
    return !isHiddenName(path);
}

fs::path pathFromText(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string textFromPath(const fs::path& path) {
    const auto utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

}  // namespace flashupdate
