#include "rfc2217_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

namespace instrument_sim {

namespace {

// Telnet's bytes (RFC 854, 856) and the Com Port Control option's (RFC 2217), as the
// server reads and writes them.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kComPortOption = 44;

// The client's requests; the server answers each with the request's code + 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kSetLineStateMask = 10;
constexpr std::uint8_t kSetModemStateMask = 11;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerAnswer = 100;
// PURGE-DATA: the server's buffer towards the serial line, and both buffers.
constexpr std::uint8_t kPurgeTowardsLine = 2;
constexpr std::uint8_t kPurgeBoth = 3;
// Parity none to space; stop size 1, 2 and 1.5 (reckoned as 2 for the line's pace).
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kParitySpace = 5;
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kStopOneAndAHalf = 3;
// Beyond any UART; a larger value is a broken request, not a speed.
constexpr std::uint32_t kFastestBaud = 4'000'000;

// The client sees answers as soon as they are written: Nagle's wait would hold a
// four-byte checksum answer back behind an acknowledgement.
constexpr int kNoDelay = 1;
// One client at a time; a second waits here until the first has gone.
constexpr int kBacklog = 4;

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        out += c;
        if (static_cast<std::uint8_t>(c) == kIac) {
            out += c;
        }
    }
    return out;
}

std::string command(std::uint8_t verb, std::uint8_t option) {
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

// IAC SB COM-PORT-OPTION (request + 100) value IAC SE: the answer to a request.
std::string com_port_answer(std::uint8_t request, std::string_view value) {
    return std::string{static_cast<char>(kIac), static_cast<char>(kSb),
                       static_cast<char>(kComPortOption),
                       static_cast<char>(request + kServerAnswer)} +
           escaped(value) + std::string{static_cast<char>(kIac), static_cast<char>(kSe)};
}

std::uint16_t port_of(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

void set_port(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    }
}

std::string host_of(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                  sizeof text);
        return std::string("[") + text + "]";
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    return text;
}

}  // namespace

std::string parse_listen_address(const std::string& text, int count, ListenAddress& out) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return "--rfc2217 wants HOST:PORT, not '" + text + "'";
    }
    std::string host = text.substr(0, colon);
    const std::string port_text = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    unsigned long port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (error != std::errc{} || end != port_text.data() + port_text.size() || port > 65535) {
        return "--rfc2217 wants a port of 0 to 65535, not '" + port_text + "'";
    }
    if (port != 0 && port + static_cast<unsigned long>(count) - 1 > 65535) {
        return "--rfc2217: " + std::to_string(count) + " servers from port " +
               std::to_string(port) + " pass port 65535";
    }
    out = ListenAddress{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(out.address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out.address);
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        out.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        out.length = sizeof(sockaddr_in6);
    } else {
        // No name lookup: a server is meant for this machine or a known interface.
        return "--rfc2217 wants a numeric address or localhost, not '" + host + "'";
    }
    set_port(out.address, static_cast<std::uint16_t>(port));
    return {};
}

ListenAddress nth_address(const ListenAddress& first, int offset) {
    ListenAddress address = first;
    const std::uint16_t port = port_of(first.address);
    if (port != 0) {
        set_port(address.address, static_cast<std::uint16_t>(port + offset));
    }
    return address;
}

Rfc2217Server::Rfc2217Server(const ListenAddress& address, EventSink& events) : events_(events) {
    const std::string where =
        host_of(address.address) + ":" + std::to_string(port_of(address.address));
    listen_fd_ = ::socket(address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "socket for " + where);
    }
    // A server started again at once must not wait for the last run's connections to age.
    const int reuse = 1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0 ||
        ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address.address), address.length) <
            0 ||
        ::listen(listen_fd_, kBacklog) < 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) < 0) {
        const int error = errno;
        ::close(listen_fd_);
        throw std::system_error(error, std::generic_category(), "listen on " + where);
    }
    name_ = "rfc2217://" + host_of(bound) + ":" + std::to_string(port_of(bound));
}

Rfc2217Server::~Rfc2217Server() {
    if (connection_fd_ >= 0) {
        ::close(connection_fd_);
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
}

void Rfc2217Server::accept_client() {
    if (connected() || listen_fd_ < 0) {
        return;
    }
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
            return;
        }
        throw std::system_error(errno, std::generic_category(), "accept on " + name_);
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kNoDelay, sizeof kNoDelay);
    connection_fd_ = fd;
    ++connections_;
    // Each client negotiates afresh; the serial side keeps its settings.
    reading_ = Reading::data;
    sub_.clear();
    broken_ = false;
    ours_.fill(false);
    clients_.fill(false);
    event("connected");
}

void Rfc2217Server::take_input() {
    std::array<std::uint8_t, kBufferSize> raw{};
    while (connected() && buffer_.size() < kBufferSize) {
        // Never more than fits: every byte read is a data byte at most.
        const std::size_t room = kBufferSize - buffer_.size();
        const ssize_t n = ::recv(connection_fd_, raw.data(), room, 0);
        if (n == 0) {
            disconnect(nullptr);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                disconnect(std::strerror(errno));
            }
            return;
        }
        for (ssize_t i = 0; i < n && !broken_; ++i) {
            take(raw[static_cast<std::size_t>(i)]);
        }
        if (broken_) {
            disconnect("the client broke the protocol");
            return;
        }
    }
}

void Rfc2217Server::connection_failed() {
    take_input();
    if (!connected()) {
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(connection_fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    disconnect(error != 0 ? std::strerror(error) : "the connection hung up");
}

void Rfc2217Server::disconnect(const char* why) {
    if (!connected()) {
        return;
    }
    ::close(connection_fd_);
    connection_fd_ = -1;
    event(why == nullptr ? std::string("disconnected") : std::string("disconnected: ") + why);
}

void Rfc2217Server::stop_listening() {
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
}

void Rfc2217Server::take(std::uint8_t byte) {
    switch (reading_) {
        case Reading::data:
            if (byte == kIac) {
                reading_ = Reading::command;
            } else {
                buffer_ += static_cast<char>(byte);
            }
            return;
        case Reading::command:
            if (byte == kIac) {
                buffer_ += static_cast<char>(byte);
                reading_ = Reading::data;
            } else if (byte == kSb) {
                sub_.clear();
                reading_ = Reading::sub;
            } else if (byte >= kWill) {
                verb_ = byte;
                reading_ = Reading::option;
            } else {
                // NOP, break, go-ahead and the like mean nothing on this line.
                reading_ = Reading::data;
            }
            return;
        case Reading::option:
            reading_ = Reading::data;
            negotiate(verb_, byte);
            return;
        case Reading::sub:
            if (byte == kIac) {
                reading_ = Reading::sub_command;
            } else if (sub_.size() < kLongestSubnegotiation) {
                sub_ += static_cast<char>(byte);
            } else {
                broken_ = true;
            }
            return;
        case Reading::sub_command:
            if (byte == kIac && sub_.size() < kLongestSubnegotiation) {
                sub_ += static_cast<char>(byte);
                reading_ = Reading::sub;
            } else if (byte == kSe) {
                reading_ = Reading::data;
                if (sub_.size() >= 2 && static_cast<std::uint8_t>(sub_[0]) == kComPortOption) {
                    com_port(static_cast<std::uint8_t>(sub_[1]), sub_.substr(2));
                }
            } else {
                broken_ = true;
            }
            return;
    }
}

// Only a change of state is answered (RFC 854's rule against loops): an option already
// on is not confirmed again, one refused is refused again only when asked again.
void Rfc2217Server::negotiate(std::uint8_t verb, std::uint8_t option) {
    switch (verb) {
        case kWill:
            if (option == kBinary || option == kComPortOption) {
                if (!clients_[option]) {
                    clients_[option] = true;
                    send_raw(command(kDo, option));
                }
            } else {
                send_raw(command(kDont, option));
            }
            return;
        case kWont:
            if (clients_[option]) {
                clients_[option] = false;
                send_raw(command(kDont, option));
            }
            return;
        case kDo:
            // The server sends binary; the Com Port option is the client's to take up.
            if (option == kBinary) {
                if (!ours_[option]) {
                    ours_[option] = true;
                    send_raw(command(kWill, option));
                }
            } else {
                send_raw(command(kWont, option));
            }
            return;
        case kDont:
            if (ours_[option]) {
                ours_[option] = false;
                send_raw(command(kWont, option));
            }
            return;
        default:
            return;
    }
}

void Rfc2217Server::com_port(std::uint8_t request, const std::string& value) {
    const auto byte = [&value] { return static_cast<std::uint8_t>(value[0]); };
    switch (request) {
        case kSetBaudRate: {
            if (value.size() != 4) {
                return;
            }
            std::uint32_t baud = 0;
            for (const char c : value) {
                baud = baud << 8 | static_cast<std::uint8_t>(c);
            }
            // Zero asks for the speed in force.
            if (baud != 0 && baud <= kFastestBaud) {
                baud_ = baud;
            }
            const std::string current{static_cast<char>(baud_ >> 24),
                                      static_cast<char>(baud_ >> 16), static_cast<char>(baud_ >> 8),
                                      static_cast<char>(baud_)};
            send_raw(com_port_answer(request, current));
            return;
        }
        case kSetDataSize:
        case kSetParity:
        case kSetStopSize: {
            if (value.size() != 1) {
                return;
            }
            // Zero, or a value out of range, asks for the setting in force.
            std::uint8_t& code = request == kSetDataSize ? data_size_
                                 : request == kSetParity ? parity_
                                                         : stop_size_;
            const std::uint8_t lowest = request == kSetDataSize ? 5 : 1;
            const std::uint8_t highest = request == kSetDataSize ? 8
                                         : request == kSetParity ? kParitySpace
                                                                 : kStopOneAndAHalf;
            if (byte() >= lowest && byte() <= highest) {
                code = byte();
            }
            send_raw(com_port_answer(request, std::string(1, static_cast<char>(code))));
            return;
        }
        case kPurgeData:
            if (value.size() == 1 && (byte() == kPurgeTowardsLine || byte() == kPurgeBoth) &&
                !buffer_.empty()) {
                event("purged " + std::to_string(buffer_.size()) + " bytes");
                buffer_.clear();
            }
            [[fallthrough]];
        case kSetControl:
        case kSetLineStateMask:
        case kSetModemStateMask:
            // Taken as asked: the simulated port has no modem lines to refuse them.
            send_raw(com_port_answer(request, value));
            return;
        default:
            return;
    }
}

void Rfc2217Server::send_raw(const std::string& bytes) {
    if (!connected()) {
        return;
    }
    // A client that reads nothing of what it asked for loses the answers, not the server.
    while (::send(connection_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
           errno == EINTR) {
    }
}

LineFormat Rfc2217Server::line_format() const {
    const int parity_bits = parity_ == kParityNone ? 0 : 1;
    const int stop_bits = stop_size_ == kStopOne ? 1 : 2;
    return LineFormat{static_cast<int>(baud_), 1 + data_size_ + parity_bits + stop_bits};
}

ssize_t Rfc2217Server::read(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), buffer_.size());
    std::copy_n(buffer_.begin(), n, out.begin());
    buffer_.erase(0, n);
    if (buffer_.empty()) {
        // A thousand idle servers hold nothing.
        std::string().swap(buffer_);
    }
    return static_cast<ssize_t>(n);
}

ssize_t Rfc2217Server::write(std::span<const std::uint8_t> bytes) {
    if (!connected()) {
        return static_cast<ssize_t>(bytes.size());
    }
    const std::string wire =
        escaped(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    for (;;) {
        const ssize_t n =
            ::send(connection_fd_, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        // Only a client that has left thousands of answers unread fills the connection.
        return static_cast<std::size_t>(n) == wire.size() ? static_cast<ssize_t>(bytes.size()) : 0;
    }
}

}  // namespace instrument_sim
