#include "support/simulator_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace flashupdate::testing {

namespace {

using namespace std::chrono_literals;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

SimulatorProcess::SimulatorProcess(std::vector<std::string> options, Launch launch)
    : m_transcriptPath(m_dir.path("transcript.txt")), m_stderrPath(m_dir.path("stderr.txt")) {
    if (launch == Launch::WithTranscript) {
        options.insert(options.end(), {"--transcript", m_transcriptPath});
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) < 0) {
        throwErrno("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Standard error is only read when a test asks for it and at the end: a file will do.
    posix_spawn_file_actions_addopen(&actions, 2, m_stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    options.insert(options.begin(), INSTRUMENT_SIM_PATH);
    std::vector<char*> argv;
    for (auto& word : options) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const int spawned =
        posix_spawn(&m_pid, INSTRUMENT_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        errno = spawned;
        throwErrno("posix_spawn " INSTRUMENT_SIM_PATH);
    }
    m_reader = std::thread([this, fd = out[0]] { collectOutput(fd); });
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
    const std::string errors = stderrText();
    if (errors.find("Sanitizer") != std::string::npos ||
        errors.find("runtime error") != std::string::npos) {
        ADD_FAILURE() << "instrument-sim reported:\n" << errors;
    } else if (::testing::Test::HasFailure() && !errors.empty()) {
        std::cerr << "instrument-sim said:\n" << errors;
    }
}

void SimulatorProcess::collectOutput(int fd) {
    std::string partial;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::lock_guard lock(m_mutex);
        partial.append(buffer.data(), static_cast<std::size_t>(n));
        for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
            m_outLines.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        m_changed.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(m_mutex);
    if (!partial.empty()) {
        m_outLines.push_back(partial);
    }
    m_outputClosed = true;
    m_changed.notify_all();
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

std::vector<std::string> SimulatorProcess::events() const {
    std::lock_guard lock(m_mutex);
    if (m_outLines.empty()) {
        return {};
    }
    return {m_outLines.begin() + 1, m_outLines.end()};
}

bool SimulatorProcess::sawEventStarting(std::string_view prefix) const {
    const std::vector<std::string> lines = events();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.starts_with(prefix); });
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
        // "ignored <N> byte(s) <reason>: ..."
        std::size_t count = 0;
        int reasonAt = 0;
        if (std::sscanf(m_outLines[i].c_str(), "ignored %zu %*s %n", &count, &reasonAt) == 1 &&
            m_outLines[i]
                .substr(static_cast<std::size_t>(reasonAt))
                .starts_with(std::string(reason) + ":")) {
            total += count;
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
    std::ifstream file(m_stderrPath);
    return {std::istreambuf_iterator<char>(file), {}};
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

}  // namespace flashupdate::testing
