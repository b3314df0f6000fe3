#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

extern char** environ;

namespace sim_test {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> arguments) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
        throw_errno("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> words{INSTRUMENT_SIM_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int spawned = posix_spawn(&pid_, INSTRUMENT_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        errno = spawned;
        throw_errno("posix_spawn " INSTRUMENT_SIM_PATH);
    }
    reader_ =
        std::thread([this, out_fd = out[0], err_fd = err[0]] { collect_output(out_fd, err_fd); });
}

SimProcess::~SimProcess() {
    // Every test also checks that the simulator stops cleanly when asked, and
    // that a sanitizer build of it had nothing to report.
    if (!exit_status_ && running()) {
        ::kill(pid_, SIGTERM);
        // A busy machine may take its time to run the simulator's way out; a hang still shows.
        auto status = wait_for_exit(kPatience);
        if (!status) {
            ::kill(pid_, SIGKILL);
            wait_for_exit(5s);
            ADD_FAILURE() << "instrument-sim did not stop on SIGTERM";
        } else if (*status != 0) {
            ADD_FAILURE() << "instrument-sim ended with status " << *status << " on SIGTERM";
        }
    } else if (!exit_status_) {
        wait_for_exit(5s);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (stderr_.find("Sanitizer") != std::string::npos ||
        stderr_.find("runtime error") != std::string::npos) {
        ADD_FAILURE() << "instrument-sim reported:\n" << stderr_;
    }
}

void SimProcess::collect_output(int out_fd, int err_fd) {
    std::array<pollfd, 2> fds{pollfd{out_fd, POLLIN, 0}, pollfd{err_fd, POLLIN, 0}};
    std::string partial;
    std::array<char, 4096> buffer{};
    int open_fds = 2;
    while (open_fds > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (auto& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0) {
                continue;
            }
            ssize_t n = ::read(fd.fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard lock(mutex_);
            if (n <= 0) {
                ::close(fd.fd);
                fd.fd = -1;
                --open_fds;
            } else if (fd.fd == err_fd) {
                stderr_.append(buffer.data(), static_cast<std::size_t>(n));
            } else {
                partial.append(buffer.data(), static_cast<std::size_t>(n));
                for (auto end = partial.find('\n'); end != std::string::npos;
                     end = partial.find('\n')) {
                    out_lines_.push_back(partial.substr(0, end));
                    partial.erase(0, end + 1);
                }
            }
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    if (!partial.empty()) {
        out_lines_.push_back(partial);
    }
    output_closed_ = true;
    changed_.notify_all();
}

std::string SimProcess::device_path(Millis timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !out_lines_.empty() || output_closed_; });
    return out_lines_.empty() ? std::string() : out_lines_.front();
}

bool SimProcess::wait_for_event(std::string_view line, Millis timeout) {
    std::unique_lock lock(mutex_);
    bool found = false;
    changed_.wait_for(lock, timeout, [&] {
        for (; next_event_ < out_lines_.size(); ++next_event_) {
            if (out_lines_[next_event_] == line) {
                ++next_event_;
                found = true;
                return true;
            }
        }
        return output_closed_;
    });
    return found;
}

bool SimProcess::saw_event_starting(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 1; i < out_lines_.size(); ++i) {
        if (out_lines_[i].starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> SimProcess::events() const {
    std::lock_guard lock(mutex_);
    if (out_lines_.empty()) {
        return {};
    }
    return {out_lines_.begin() + 1, out_lines_.end()};
}

std::size_t SimProcess::wait_for_ignored(std::string_view reason, std::size_t count,
                                         Millis timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout,
                      [&] { return ignored_bytes_locked(reason) >= count || output_closed_; });
    return ignored_bytes_locked(reason);
}

std::size_t SimProcess::ignored_bytes_locked(std::string_view reason) const {
    std::size_t total = 0;
    for (std::size_t i = 1; i < out_lines_.size(); ++i) {
        std::string_view line = out_lines_[i];
        if (!line.starts_with("ignored ")) {
            continue;
        }
        line.remove_prefix(8);
        const auto space = line.find(' ');
        const auto colon = line.find(':');
        if (space == std::string_view::npos || colon == std::string_view::npos) {
            continue;
        }
        // "<N> byte(s) <reason>: ..."
        const auto words = line.substr(space + 1, colon - space - 1);
        const auto after_unit = words.find(' ');
        if (after_unit != std::string_view::npos && words.substr(after_unit + 1) == reason) {
            total += std::stoul(std::string(line.substr(0, space)));
        }
    }
    return total;
}

std::string SimProcess::stdout_text() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& line : out_lines_) {
        text += line + "\n";
    }
    return text;
}

std::string SimProcess::stderr_text() const {
    std::lock_guard lock(mutex_);
    return stderr_;
}

void SimProcess::send_signal(int signal) {
    ::kill(pid_, signal);
}

std::optional<int> SimProcess::wait_for_exit(Millis timeout) {
    if (exit_status_) {
        return exit_status_;
    }
    // The pipes close when the process ends; only then is waitpid sure not to block.
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [this] { return output_closed_; })) {
            return std::nullopt;
        }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_;
}

bool SimProcess::running() {
    std::lock_guard lock(mutex_);
    return !output_closed_;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/instrument-sim-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw_errno("mkdtemp");
    }
    dir_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::path(std::string_view name) const {
    return dir_ + "/" + std::string(name);
}

}  // namespace sim_test
