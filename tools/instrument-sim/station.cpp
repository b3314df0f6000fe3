#include "station.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace instrument_sim {

Station::NumberedEvents::NumberedEvents(EventSink& next, int number)
    : next_(next), prefix_(number > 0 ? std::to_string(number) + ": " : std::string()) {}

void Station::NumberedEvents::event(std::string_view line) {
    if (prefix_.empty()) {
        next_.event(line);
        return;
    }
    next_.event(prefix_ + std::string(line));
}

void Station::TranscriptFirst::event(std::string_view line) {
    transcript_.flush();
    next_.event(line);
}

void Station::Answers::send(std::span<const std::uint8_t> bytes) {
    const ssize_t written = end_.write(bytes);
    if (written != static_cast<ssize_t>(bytes.size())) {
        // Only happens when the tool has left thousands of answers unread.
        const std::string who = number_ > 0 ? "instrument " + std::to_string(number_) + ": " : "";
        std::fprintf(stderr, "instrument-sim: %sanswer of %zu bytes: %s\n", who.c_str(),
                     bytes.size(), written < 0 ? std::strerror(errno) : "line full, cut short");
    }
}

LineEnd& Station::end_of(const std::unique_ptr<PseudoTerminal>& pty,
                         const std::unique_ptr<Rfc2217Server>& server) {
    if (pty) {
        return *pty;
    }
    return *server;
}

Station::Station(const StationSettings& settings, EventSink& out, std::span<std::uint8_t> scratch,
                 Clock::time_point start)
    : once_(settings.once),
      start_(start),
      transcript_(settings.transcript_path),
      numbered_(out, settings.number),
      events_(transcript_, numbered_),
      pty_(settings.server ? nullptr : std::make_unique<PseudoTerminal>()),
      server_(settings.server ? std::make_unique<Rfc2217Server>(*settings.server, events_)
                              : nullptr),
      end_(end_of(pty_, server_)),
      answers_(end_, settings.number),
      instrument_(settings.instrument, answers_, events_),
      line_(settings.line, end_, queue_, events_, scratch),
      scratch_(scratch) {
    if (!settings.link_path.empty() && pty_) {
        link_.emplace(settings.link_path, pty_->device_path());
    }
}

const std::string& Station::name() const {
    return pty_ ? pty_->device_path() : server_->name();
}

void Station::wake(std::optional<std::pair<Source, std::uint32_t>> ready) {
    const Clock::time_point now = Clock::now();
    bool readable = false;
    if (ready && ready->first == Source::listener) {
        server_->accept_client();
    } else if (ready && pty_) {
        readable = (ready->second & EPOLLIN) != 0;
        if (!readable && (ready->second & (EPOLLHUP | EPOLLERR)) != 0) {
            // Cannot happen while our own descriptor keeps the slave open; carrying on
            // would only spin.
            throw std::runtime_error("the pty hung up");
        }
    } else if (ready) {
        if ((ready->second & (EPOLLHUP | EPOLLERR)) != 0) {
            server_->connection_failed();
        } else {
            server_->take_input();
        }
    }

    if (session_over_) {
        // Its one session is over: what a client still sends goes nowhere, and once the
        // client has gone, so does the server.
        while (server_->read(scratch_) > 0) {
        }
        ended_ = !server_->connected();
        return;
    }
    if (server_) {
        readable = server_->waiting() > 0;
    }
    line_.take(now, readable);
    take_due(Clock::now());

    if (once_ && instrument_.sessions_ended() > 0) {
        if (pty_) {
            ended_ = true;
            return;
        }
        server_->stop_listening();
        session_over_ = true;
        ended_ = !server_->connected();
    }
    // A restarting instrument lets go of the line: closing the pty hangs the tool's end
    // up, as does the server's closing the connection.
    if (instrument_.hanging_up()) {
        events_.event("hang-up");
        ended_ = true;
    }
}

void Station::take_due(Clock::time_point now) {
    // Deadlines that fell between two bytes are met in order, so a late wake-up cannot
    // make a byte look as if it came during an erase that was in fact already over.
    while (auto byte = queue_.take_due(now)) {
        instrument_.advance(byte->due);
        transcript_.record(std::chrono::duration<double>(byte->due - start_).count(), byte->baud,
                           byte->value);
        instrument_.receive(byte->value, byte->baud, byte->due);
        if (once_ && instrument_.sessions_ended() > 0) {
            break;
        }
    }
    instrument_.advance(now);
    line_.advance(now);
    // A run of ignored bytes is reported once the line falls quiet, not once per
    // wake-up, or a paced line would log them a few at a time.
    if (!queue_.next_due() && !line_.busy()) {
        instrument_.report_ignored();
    }
    transcript_.flush();
}

std::optional<Clock::time_point> Station::next_deadline() const {
    if (ended_ || session_over_) {
        return std::nullopt;
    }
    std::optional<Clock::time_point> deadline;
    if (auto next = queue_.next_due()) {
        // Paced bytes are collected a few at a time rather than waking for each one;
        // they keep their own times in the transcript regardless.
        deadline = *next + kPacedBatching;
    }
    for (auto next : {instrument_.next_deadline(), line_.next_deadline()}) {
        if (next && (!deadline || *next < *deadline)) {
            deadline = next;
        }
    }
    return deadline;
}

void Station::watch(Poller& poller, std::uint64_t token) {
    const auto line_token = token + static_cast<std::uint64_t>(Source::line);
    if (pty_) {
        update(poller, line_watch_, pty_->master_fd(), line_.wants_input() ? EPOLLIN : 0U, 0,
               line_token);
        return;
    }
    // The connection is read whenever the server's buffer has room, so its commands are
    // answered whatever the line is doing.
    update(poller, line_watch_, server_->connection_fd(), server_->wants_input() ? EPOLLIN : 0U,
           server_->connections(), line_token);
    update(poller, listener_watch_, server_->listen_fd(), server_->connected() ? 0U : EPOLLIN, 0,
           token + static_cast<std::uint64_t>(Source::listener));
}

void Station::update(Poller& poller, Watched& watched, int fd, std::uint32_t events,
                     std::uint64_t connection, std::uint64_t token) {
    if (fd < 0) {
        // Closed, and so already out of the set.
        watched = Watched{};
        return;
    }
    if (watched.fd != fd || watched.connection != connection) {
        poller.add(fd, events, token);
        watched = Watched{fd, events, connection};
    } else if (watched.events != events) {
        poller.modify(fd, events, token);
        watched.events = events;
    }
}

}  // namespace instrument_sim
