#include "support/simulator_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace flashupdate::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/instrument-sim-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throwErrno("mkdtemp");
    }
    m_dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string TempDir::path(std::string_view name) const {
    return m_dir + "/" + std::string(name);
}

SimulatorProcess::SimulatorProcess(std::vector<std::string> options, Launch launch)
    : m_transcriptPath(m_dir.path("transcript.txt")) {
    if (launch == Launch::WithTranscript) {
        options.push_back("--transcript");
        options.push_back(m_transcriptPath);
    }
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) < 0) {
        throwErrno("pipe2");
    }
    if (pipe2(err, O_CLOEXEC) < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throwErrno("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> words{INSTRUMENT_SIM_PATH};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const int spawned =
        posix_spawn(&m_pid, INSTRUMENT_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        errno = spawned;
        throwErrno("posix_spawn " INSTRUMENT_SIM_PATH);
    }
    m_reader = std::thread([this, outFd = out[0], errFd = err[0]] { collectOutput(outFd, errFd); });
    if (launch == Launch::WithTranscript) {
        m_devicePath = waitForDevice();
        if (m_devicePath.empty()) {
            // The destructor does not run for an object never made: nothing may be left behind.
            stop();
            throw std::runtime_error("instrument-sim names no device: " + stderrText());
        }
    }
}

SimulatorProcess::~SimulatorProcess() {
    stop();
}

void SimulatorProcess::stop() {
    // Every test also checks that the simulator stops cleanly when asked, and that a sanitizer
    // build of it had nothing to report.
    if (!m_exitStatus && running()) {
        ::kill(m_pid, SIGTERM);
        // A busy machine may take its time to run the simulator's way out; a hang still shows.
        const auto status = waitForExit(kPatience);
        if (!status) {
            ::kill(m_pid, SIGKILL);
            waitForExit(5s);
            ADD_FAILURE() << "instrument-sim did not stop on SIGTERM";
        } else if (*status != 0) {
            ADD_FAILURE() << "instrument-sim ended with status " << *status << " on SIGTERM";
        }
    } else if (!m_exitStatus) {
        waitForExit(5s);
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    if (m_stderr.find("Sanitizer") != std::string::npos ||
        m_stderr.find("runtime error") != std::string::npos) {
        ADD_FAILURE() << "instrument-sim reported:\n" << m_stderr;
    } else if (::testing::Test::HasFailure() && !m_stderr.empty()) {
        std::cerr << "instrument-sim said:\n" << m_stderr;
    }
}

void SimulatorProcess::collectOutput(int outFd, int errFd) {
    std::array<pollfd, 2> fds{pollfd{outFd, POLLIN, 0}, pollfd{errFd, POLLIN, 0}};
    std::string partial;
    std::array<char, 4096> buffer{};
    // Not before the line that asks for it.
    auto killAt = Clock::time_point::max();
    int openFds = 2;
    while (openFds > 0) {
        int timeoutMs = -1;
        if (killAt != Clock::time_point::max()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(killAt - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(0, left));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (Clock::now() >= killAt) {
            // The pipes are still open, so the simulator has not been reaped: the id is its own.
            ::kill(m_pid, SIGKILL);
            killAt = Clock::time_point::max();
        }
        if (ready <= 0) {
            continue;
        }
        for (auto& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fd.fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard lock(m_mutex);
            if (n <= 0) {
                ::close(fd.fd);
                fd.fd = -1;
                --openFds;
            } else if (fd.fd == errFd) {
                m_stderr.append(buffer.data(), static_cast<std::size_t>(n));
            } else {
                partial.append(buffer.data(), static_cast<std::size_t>(n));
                for (auto end = partial.find('\n'); end != std::string::npos;
                     end = partial.find('\n')) {
                    m_outLines.push_back(partial.substr(0, end));
                    partial.erase(0, end + 1);
                    if (!m_killOn.empty() && m_outLines.size() > 1 &&
                        m_outLines.back().starts_with(m_killOn)) {
                        m_killOn.clear();
                        killAt = Clock::now() + m_killAfter;
                    }
                }
            }
            m_changed.notify_all();
        }
    }
    std::lock_guard lock(m_mutex);
    if (!partial.empty()) {
        m_outLines.push_back(partial);
    }
    m_outputClosed = true;
    m_changed.notify_all();
}

std::string SimulatorProcess::waitForDevice(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return !m_outLines.empty() || m_outputClosed; });
    return m_outLines.empty() ? std::string() : m_outLines.front();
}

std::vector<std::string> SimulatorProcess::waitForDevices(std::size_t count,
                                                          std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_outLines.size() >= count || m_outputClosed; });
    return {m_outLines.begin(),
            m_outLines.begin() + static_cast<std::ptrdiff_t>(std::min(count, m_outLines.size()))};
}

bool SimulatorProcess::waitForAnyLine(std::string_view prefix, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    const auto seen = [&] {
        return std::any_of(m_outLines.begin(), m_outLines.end(),
                           [&](const std::string& line) { return line.starts_with(prefix); });
    };
    m_changed.wait_for(lock, timeout, [&] { return seen() || m_outputClosed; });
    return seen();
}

bool SimulatorProcess::waitForLine(std::string_view prefix, int timeoutMs) {
    return waitForNext([&](const std::string& line) { return line.starts_with(prefix); },
                       std::chrono::milliseconds(timeoutMs));
}

bool SimulatorProcess::waitForEvent(std::string_view line, std::chrono::milliseconds timeout) {
    return waitForNext([&](const std::string& each) { return each == line; }, timeout);
}

bool SimulatorProcess::waitForNext(const std::function<bool(const std::string&)>& wanted,
                                   std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    bool found = false;
    m_changed.wait_for(lock, timeout, [&] {
        while (!found && m_nextEvent < m_outLines.size()) {
            found = wanted(m_outLines[m_nextEvent++]);
        }
        return found || m_outputClosed;
    });
    return found;
}

bool SimulatorProcess::sawEventStarting(std::string_view prefix) const {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 1; i < m_outLines.size(); ++i) {
        if (m_outLines[i].starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> SimulatorProcess::events() const {
    std::lock_guard lock(m_mutex);
    if (m_outLines.empty()) {
        return {};
    }
    return {m_outLines.begin() + 1, m_outLines.end()};
}

std::size_t SimulatorProcess::waitForIgnored(std::string_view reason, std::size_t count,
                                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout,
                       [&] { return ignoredBytesLocked(reason) >= count || m_outputClosed; });
    return ignoredBytesLocked(reason);
}

std::size_t SimulatorProcess::ignoredBytesLocked(std::string_view reason) const {
    std::size_t total = 0;
    for (std::size_t i = 1; i < m_outLines.size(); ++i) {
        std::string_view line = m_outLines[i];
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
        const auto afterUnit = words.find(' ');
        if (afterUnit != std::string_view::npos && words.substr(afterUnit + 1) == reason) {
            total += std::stoul(std::string(line.substr(0, space)));
        }
    }
    return total;
}

std::string SimulatorProcess::stdoutText() const {
    std::lock_guard lock(m_mutex);
    std::string text;
    for (const auto& line : m_outLines) {
        text += line + "\n";
    }
    return text;
}

std::string SimulatorProcess::stderrText() const {
    std::lock_guard lock(m_mutex);
    return m_stderr;
}

std::string SimulatorProcess::receivedAt(int baud, std::size_t count, int timeoutMs) const {
    return bytesAt(waitForTranscript(
                       m_transcriptPath,
                       [&](const auto& lines) { return bytesAt(lines, baud).size() >= count; },
                       std::chrono::milliseconds(timeoutMs)),
                   baud);
}

void SimulatorProcess::sendSignal(int signal) {
    // Once reaped, the id may already be another process's.
    if (!m_exitStatus) {
        ::kill(m_pid, signal);
    }
}

std::optional<int> SimulatorProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (m_exitStatus) {
        return m_exitStatus;
    }
    // The pipes close when the process ends; only then is waitpid sure not to block.
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [this] { return m_outputClosed; })) {
            return std::nullopt;
        }
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_exitStatus;
}

bool SimulatorProcess::running() const {
    std::lock_guard lock(m_mutex);
    return !m_outputClosed;
}

bool SimulatorProcess::powerCycle() {
    sendSignal(SIGUSR1);
    return waitForLine("power cycle");
}

void SimulatorProcess::killOn(std::string_view text, int afterMs) {
    std::lock_guard lock(m_mutex);
    m_killOn = text;
    m_killAfter = std::chrono::milliseconds(afterMs);
}

}  // namespace flashupdate::testing
