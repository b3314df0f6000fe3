#include "cli/options.h"

#include <system_error>

#include <QSerialPortInfo>
#include <algorithm>
#include <filesystem>

#include "cli/outcome.h"
#include "serial/serial_diagnostics.h"

namespace flashupdate::cli {

namespace {

// "--port=3" and "--port 3" both work.
bool takeValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name,
               std::string& value, std::string& error) {
    const std::string& argument = arguments[i];
    if (argument.starts_with(name + "=")) {
        value = argument.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
    } else {
        error = name + " needs a value";
        return false;
    }
    if (value.empty()) {
        error = name + " needs a value";
        return false;
    }
    return true;
}

bool isOption(const std::string& argument, const std::string& name) {
    return argument == name || argument.starts_with(name + "=");
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    CliOptions& options = parsed.options;
    std::vector<std::string> images;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (optionsEnded || !argument.starts_with("-") || argument == "-") {
            images.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
            return parsed;
        } else if (argument == "--list-ports") {
            options.listPorts = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (isOption(argument, "--port")) {
            if (!takeValue(arguments, i, "--port", value, parsed.error)) {
                return parsed;
            }
            options.ports.push_back(value);
        } else if (isOption(argument, "--bootloader")) {
            if (!takeValue(arguments, i, "--bootloader", value, parsed.error)) {
                return parsed;
            }
            if (options.bootLoader) {
                parsed.error = "--bootloader given twice";
                return parsed;
            }
            options.bootLoader = value;
        } else {
            parsed.error = "unknown option " + argument;
            return parsed;
        }
    }
    if (options.listPorts) {
        return parsed;
    }
    if (images.size() != 1) {
        parsed.error = images.empty() ? "no image given" : "more than one image given";
        return parsed;
    }
    if (options.ports.empty()) {
        parsed.error = "no --port given";
        return parsed;
    }
    options.image = images.front();
    return parsed;
}

std::string usageText() {
    return std::string(
               "Usage: flashupdate-cli [--bootloader FILE] --port PORT [--port PORT...] [--json] "
               "IMAGE\n"
               "       flashupdate-cli --list-ports\n"
               "\n"
               "Rewrites the FLASH program memory of the instrument on each PORT with IMAGE,\n"
               "as the flashupdate window does. Several ports are updated at the same time.\n"
               "\n"
               "Options:\n"
               "  --port PORT        1 to 4 for Com1 to Com4 (FLASHUPDATE_COM1 to\n"
               "                     FLASHUPDATE_COM4 override their devices), or a device\n"
               "                     path such as /dev/ttyUSB0; may be repeated\n"
               "  --bootloader FILE  the boot loader to load (default: BOOTLOAD.IMG next to\n"
               "                     this program)\n"
               "  --json             one JSON object per line per event, for programs\n"
               "  --list-ports       list the serial devices and the Com1 to Com4 map\n"
               "  --help             show this text\n"
               "\n"
               "On a terminal each port has a live progress line; otherwise every status\n"
               "and message is written as \"HH:MM:SS.mmm [PORT] text\". Ctrl-C stops every\n"
               "update cleanly and tells whether the instrument is left erased.\n"
               "\n") +
           exitCodeHelp();
}

namespace {

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// Symlinks such as the simulator's --link name the same device as their target.
std::string sameDeviceKey(const std::string& path) {
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical.string();
}

}  // namespace

ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& environment) {
    ResolvedTargets resolved;
    for (const std::string& port : ports) {
        PortTarget target;
        if (allDigits(port)) {
            const int number = port.size() > 2 ? 0 : std::stoi(port);
            if (number < PortMap::kFirstPort || number > PortMap::kLastPort) {
                resolved.error = "port " + port + " is not 1 to 4 nor a device path";
                return resolved;
            }
            target.label = "Com" + std::to_string(number);
            target.map = environment;
            target.comNumber = number;
            target.devicePath = environment.devicePath(number);
        } else {
            // A device of its own: its update has a map of its own with the device as Com1.
            target.label = port;
            target.map.setDevicePath(1, port);
            target.comNumber = 1;
            target.devicePath = port;
        }
        for (const PortTarget& earlier : resolved.targets) {
            if (sameDeviceKey(earlier.devicePath) == sameDeviceKey(target.devicePath)) {
                resolved.error = "port " + port + " names the device of " + earlier.label +
                                 " again (" + target.devicePath + ")";
                return resolved;
            }
        }
        resolved.targets.push_back(std::move(target));
    }
    return resolved;
}

void listPorts(const PortMap& map, std::FILE* out) {
    const auto ports = QSerialPortInfo::availablePorts();
    std::fprintf(out, "Serial devices:\n");
    if (ports.isEmpty()) {
        std::fprintf(out, "  none found\n");
    }
    for (const QSerialPortInfo& info : ports) {
        std::string line = "  " + info.systemLocation().toStdString();
        if (!info.description().isEmpty()) {
            line += "  " + info.description().toStdString();
        }
        if (const std::string ids = usbIds(info); !ids.empty()) {
            line += "  (" + ids + ")";
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out, "\nPorts (FLASHUPDATE_COM1 to FLASHUPDATE_COM4 override them):\n");
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        std::fprintf(out, "  %d  Com%d  %s\n", port, port,
                     describeDevice(map.devicePath(port)).c_str());
    }
}

}  // namespace flashupdate::cli
