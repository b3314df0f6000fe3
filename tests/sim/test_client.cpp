#include "test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "test_port.h"

namespace sim_test {

namespace {

[[noreturn]] void throw_socket_error(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::vector<std::uint8_t> com_port(std::uint8_t code, const std::vector<std::uint8_t>& value) {
    constexpr std::uint8_t kIac = 255, kSb = 250, kSe = 240, kComPortOption = 44;
    std::vector<std::uint8_t> bytes{kIac, kSb, kComPortOption, code};
    for (const std::uint8_t byte : value) {
        bytes.push_back(byte);
        if (byte == kIac) {
            bytes.push_back(kIac);
        }
    }
    bytes.push_back(kIac);
    bytes.push_back(kSe);
    return bytes;
}

TestClient::TestClient(const std::string& name) {
    const auto colon = name.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(name.substr(colon + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw_socket_error("socket");
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const int error = errno;
        ::close(fd_);
        errno = error;
        throw_socket_error("connect to " + name);
    }
}

TestClient::~TestClient() {
    ::close(fd_);
}

void TestClient::write(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            throw_socket_error("send");
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

std::vector<std::uint8_t> TestClient::read(std::size_t count, std::chrono::milliseconds timeout) {
    return read_from(fd_, count, timeout, ended_);
}

bool TestClient::ended_by_server(std::chrono::milliseconds timeout) {
    read(static_cast<std::size_t>(-1), timeout);
    return ended_;
}

bool TestClient::end(std::chrono::milliseconds timeout) {
    ::shutdown(fd_, SHUT_WR);
    return ended_by_server(timeout);
}

}  // namespace sim_test
