#include "options.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace instrument_sim {

namespace {

// Longer than any erase a real part needs; a typo such as an extra zero should
// be refused rather than make a test hang for hours. Stalls are held to the same.
constexpr long kMaxEraseMs = 600'000;
// Far more than any image the instrument can hold, so a typo is caught rather
// than leaving a stall that never comes.
constexpr long kMaxStallAfter = 100'000'000;

std::optional<long> parse_number(std::string_view text, long min, long max) {
    long value = 0;
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::string out_of_range(std::string_view option, long min, long max, std::string_view value) {
    return std::string(option) + " wants " + std::to_string(min) + " to " + std::to_string(max) +
           ", not '" + std::string(value) + "'";
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv) {
    ParsedCommandLine parsed;
    auto fail = [&parsed](std::string message) {
        parsed.outcome = ParsedCommandLine::Outcome::usage_error;
        parsed.error = std::move(message);
        return parsed;
    };

    std::optional<long> stall_after;
    std::optional<long> stall_ms;
    std::optional<std::string> server;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        // Both "--name value" and "--name=value" are accepted.
        std::optional<std::string_view> inline_value;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            inline_value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        auto takes_value = [&](std::string_view& out) {
            if (inline_value) {
                out = *inline_value;
                return true;
            }
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto is_flag = [&] { return !inline_value.has_value(); };

        std::string_view value;
        if (arg == "--help" || arg == "-h") {
            parsed.outcome = ParsedCommandLine::Outcome::help;
            return parsed;
        } else if (arg == "--version" && is_flag()) {
            parsed.outcome = ParsedCommandLine::Outcome::version;
            return parsed;
        } else if (arg == "--instruments") {
            if (!takes_value(value)) {
                return fail("--instruments needs a number");
            }
            auto count = parse_number(value, 1, kMostInstruments);
            if (!count) {
                return fail(out_of_range(arg, 1, kMostInstruments, value));
            }
            parsed.options.instruments = static_cast<int>(*count);
        } else if (arg == "--rfc2217") {
            if (!takes_value(value) || value.empty()) {
                return fail("--rfc2217 needs HOST:PORT");
            }
            server = value;
        } else if (arg == "--write-samples") {
            if (!takes_value(value) || value.empty()) {
                return fail("--write-samples needs a directory");
            }
            parsed.options.write_samples = value;
        } else if (arg == "--once" && is_flag()) {
            parsed.options.once = true;
        } else if (arg == "--paced" && is_flag()) {
            parsed.options.paced = true;
        } else if (arg == "--link") {
            if (!takes_value(value) || value.empty()) {
                return fail("--link needs a path");
            }
            parsed.options.link_path = value;
        } else if (arg == "--transcript") {
            if (!takes_value(value) || value.empty()) {
                return fail("--transcript needs a file name");
            }
            parsed.options.transcript_path = value;
        } else if (arg == "--erase-ms") {
            if (!takes_value(value)) {
                return fail("--erase-ms needs a number of milliseconds");
            }
            auto ms = parse_number(value, 0, kMaxEraseMs);
            if (!ms) {
                return fail(out_of_range(arg, 0, kMaxEraseMs, value));
            }
            parsed.options.erase_time = std::chrono::milliseconds(*ms);
        } else if (arg == "--stall-after") {
            if (!takes_value(value)) {
                return fail("--stall-after needs a number of bytes");
            }
            stall_after = parse_number(value, 1, kMaxStallAfter);
            if (!stall_after) {
                return fail(out_of_range(arg, 1, kMaxStallAfter, value));
            }
        } else if (arg == "--stall-ms") {
            if (!takes_value(value)) {
                return fail("--stall-ms needs a number of milliseconds");
            }
            stall_ms = parse_number(value, 1, kMaxEraseMs);
            if (!stall_ms) {
                return fail(out_of_range(arg, 1, kMaxEraseMs, value));
            }
        } else if (arg == "--fault") {
            if (!takes_value(value)) {
                return fail("--fault needs a fault name");
            }
            std::string error;
            if (!add_fault(value, parsed.options.faults, error)) {
                return fail(error);
            }
        } else {
            return fail("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    if (stall_after.has_value() != stall_ms.has_value()) {
        return fail("--stall-after and --stall-ms go together");
    }
    if (stall_after) {
        parsed.options.stall = Stall{*stall_after, std::chrono::milliseconds(*stall_ms)};
    }
    if (server) {
        if (!parsed.options.link_path.empty()) {
            return fail("--link names a pseudo-terminal; a server is named by its port");
        }
        ListenAddress address;
        if (auto error =
                parse_listen_address(*server, parsed.options.instruments.value_or(1), address);
            !error.empty()) {
            return fail(error);
        }
        parsed.options.server = address;
    }
    return parsed;
}

std::string usage_text(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "Plays the instrument on a pseudo-terminal, or behind a serial device server\n"
           "(--rfc2217). The first line on stdout is the device to open; later lines\n"
           "report what the instrument sees and does.\n"
           "\n"
           "Options:\n"
           "  --instruments N    play N instruments (1 to 10000) in one process: the first\n"
           "                     N lines name their devices, in order, and every later line\n"
           "                     begins with the instrument's number and a colon (\"3: erase\").\n"
           "                     Each has the options below; --link and --transcript get\n"
           "                     the instrument's number appended (PATH.1, PATH.2, ...)\n"
           "  --rfc2217 HOST:PORT  put each instrument behind a serial device server of its\n"
           "                     own (RFC 2217, one client at a time) on HOST, on consecutive\n"
           "                     ports from PORT (0: ports the system chooses); the lines\n"
           "                     name them as rfc2217://HOST:PORT. HOST is a numeric address\n"
           "                     or localhost. There is no authentication: keep to 127.0.0.1\n"
           "  --link PATH        also make PATH a symlink to the device (removed on exit)\n"
           "  --transcript FILE  append \"<seconds> <baud> <byte>\" for every byte received\n"
           "  --erase-ms N       time the erase takes before it is answered (default 300)\n"
           "  --once             exit after the first session ends (a fleet: once every\n"
           "                     instrument's has; a server also waits for its client to go)\n"
           "  --paced            read bytes no faster than the line carries them at the speed\n"
           "                     and format set on the device; unread bytes stay queued, so a\n"
           "                     writer that runs ahead finds the line full. A byte is heard\n"
           "                     at the speed in force when it has crossed the line\n"
           "  --stall-after N    once N bytes have been received at 9600 baud, counted from\n"
           "                     the start of the simulator and across sessions, read\n"
           "                     nothing for --stall-ms milliseconds; happens once\n"
           "  --stall-ms N       length of that stall, 1 to 600000; the two go together\n"
           "  --fault NAME       misbehave on purpose; NAME is one of:\n" +
           fault_help() +
           "  --write-samples DIR  write a sample program image (SAMPLE.IMG, 12000 bytes) and\n"
           "                     a boot loader for this simulator only (BOOTLOAD.IMG, 511\n"
           "                     bytes) into DIR, replacing nothing, and exit\n"
           "  --help             show this text\n"
           "  --version          show the version\n"
           "\n"
           "SIGUSR1 switches the instruments off and on again: each waits for a boot loader,\n"
           "whatever it was doing (a record begun and never finished, say).\n"
           "Exit status: 0 after --once or on SIGTERM, SIGINT or SIGHUP; 1 on a system\n"
           "error; 2 on a bad command line. The links are removed in every case.\n";
}

}  // namespace instrument_sim
