#include "cli/options.h"

#include <QJsonArray>
#include <QJsonObject>

#include <system_error>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "cli/outcome.h"
#include "cli/text_formats.h"
#include "serial/serial_devices.h"
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

// The short form of an option with a value: "-p 3" and "-p3".
bool takeShortValue(const std::vector<std::string>& arguments, std::size_t& i, std::string& value,
                    std::string& error) {
    const std::string& argument = arguments[i];
    if (argument.size() > 2) {
        value = argument.substr(2);
        return true;
    }
    if (i + 1 < arguments.size() && !arguments[i + 1].empty()) {
        value = arguments[++i];
        return true;
    }
    error = argument + " needs a value";
    return false;
}

bool isShortOption(const std::string& argument, char letter) {
    return argument.size() >= 2 && argument[0] == '-' && argument[1] == letter;
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
        } else if (argument == "--version" || argument == "-V") {
            options.version = true;
            return parsed;
        } else if (argument == "--list-ports") {
            options.listPorts = true;
        } else if (argument == "--json" || argument == "-j") {
            options.json = true;
        } else if (argument == "--dry-run" || argument == "-n") {
            options.dryRun = true;
        } else if (argument == "--allow-empty") {
            options.allowEmpty = true;
        } else if (isOption(argument, "--retries")) {
            if (!takeValue(arguments, i, "--retries", value, parsed.error)) {
                return parsed;
            }
            if (value.size() > 2 || !std::all_of(value.begin(), value.end(), [](unsigned char c) {
                    return std::isdigit(c) != 0;
                })) {
                parsed.error = "--retries takes a number from 0 to 99";
                return parsed;
            }
            options.retries = std::stoi(value);
        } else if (isOption(argument, "--port") || isShortOption(argument, 'p')) {
            if (!(argument[1] == 'p' ? takeShortValue(arguments, i, value, parsed.error)
                                     : takeValue(arguments, i, "--port", value, parsed.error))) {
                return parsed;
            }
            options.ports.push_back(value);
        } else if (isOption(argument, "--bootloader") || isShortOption(argument, 'b')) {
            if (!(argument[1] == 'b'
                      ? takeShortValue(arguments, i, value, parsed.error)
                      : takeValue(arguments, i, "--bootloader", value, parsed.error))) {
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
        if (options.dryRun || !options.ports.empty() || !images.empty()) {
            parsed.error = "--list-ports takes no port, image or --dry-run";
        }
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
               "Usage: flashupdate-cli [OPTION...] --port PORT [--port PORT...] IMAGE\n"
               "  or:  flashupdate-cli --list-ports [--json]\n"
               "\n"
               "Rewrites the FLASH program memory of the instrument on each PORT with IMAGE,\n"
               "as the flashupdate window does. Several ports are updated at the same time.\n"
               "\n"
               "Options:\n"
               "  -p, --port PORT        where an instrument is, one of:\n"
               "                           1 to 4 for Com1 to Com4 of the window's map;\n"
               "                           a device path such as /dev/ttyUSB0;\n"
               "                           a stable alias under /dev/serial/by-id;\n"
               "                           usb:VID:PID or usb:VID:PID:SERIAL for the one USB\n"
               "                           adapter with those numbers (see --list-ports);\n"
               "                           rfc2217://HOST:PORT for a line behind a serial\n"
               "                           device server speaking RFC 2217 (ser2net).\n"
               "                         May be repeated.\n"
               "  -b, --bootloader FILE  the boot loader to load (default: BOOTLOAD.IMG next\n"
               "                         to this program, else in ~/.local/share/flashupdate,\n"
               "                         /usr/local/share/flashupdate or\n"
               "                         /usr/share/flashupdate)\n"
               "  -n, --dry-run          read the image and the boot loader and open and close\n"
               "                         each port, sending nothing; tell what an update would\n"
               "                         send and how long it would take\n"
               "      --retries N        update a port again from the start, up to N more\n"
               "                         times, after 3 s, when its update ended in a way\n"
               "                         another attempt may cure: no answer, a bad\n"
               "                         checksum, or a port that failed before the first\n"
               "                         record byte (default 0)\n"
               "      --allow-empty      update even with an empty IMAGE, which leaves the\n"
               "                         instrument erased with nothing programmed\n"
               "  -j, --json             one JSON object per line, for programs\n"
               "      --list-ports       list the serial devices and the Com1 to Com4 map\n"
               "  -h, --help             show this text\n"
               "  -V, --version          show the version\n"
               "\n"
               "Com1 to Com4 are /dev/ttyS0 to /dev/ttyS3 unless the settings file\n"
               "~/.config/Quenlid/flashupdate.conf names other devices (keys Com1 to Com4 under\n"
               "[General]); FLASHUPDATE_COM1 to FLASHUPDATE_COM4 in the environment override\n"
               "both. Opening a serial port needs membership of the dialout group.\n"
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

ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& map,
                               const std::vector<SerialDeviceInfo>& devices) {
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
            target.map = map;
            target.comNumber = number;
            target.devicePath = map.devicePath(number);
        } else {
            const PortNameResolution named = resolvePortName(port, devices);
            if (!named.error.empty()) {
                resolved.error = named.error;
                resolved.absent = named.absent;
                return resolved;
            }
            // A device of its own: its update has a map of its own with the device as Com1.
            target.label = port;
            target.map.setDevicePath(1, named.devicePath);
            target.comNumber = 1;
            target.devicePath = named.devicePath;
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

void listPorts(const PortMap& map, const std::vector<SerialDeviceInfo>& devices,
               const std::string& settingsPath, bool json, std::FILE* out) {
    if (json) {
        QJsonArray found;
        for (const SerialDeviceInfo& device : devices) {
            found.append(QJsonObject{{"path", jsonText(device.path)},
                                     {"by_id", jsonTextOrNull(device.byIdPath)},
                                     {"description", jsonText(device.description)},
                                     {"manufacturer", jsonText(device.manufacturer)},
                                     {"serial_number", jsonText(device.serialNumber)},
                                     {"vid_pid", jsonTextOrNull(vidPidText(device))}});
        }
        QJsonArray ports;
        for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
            const std::string path = map.devicePath(port);
            ports.append(QJsonObject{{"port", port},
                                     {"name", QString("Com%1").arg(port)},
                                     {"device", jsonText(path)},
                                     {"source", nameOf(map.source(port))},
                                     {"exists", devicePresent(path)}});
        }
        writeJsonLine(
            QJsonObject{
                {"devices", found}, {"settings_file", jsonText(settingsPath)}, {"ports", ports}},
            out);
        return;
    }
    std::fprintf(out, "Serial devices:\n");
    if (devices.empty()) {
        std::fprintf(out, "  none found\n");
    }
    for (const SerialDeviceInfo& device : devices) {
        std::string line = "  " + device.path;
        for (const std::string& detail : {device.description, device.manufacturer}) {
            if (!detail.empty()) {
                line += "  " + detail;
            }
        }
        if (const std::string ids = vidPidText(device); !ids.empty()) {
            line += "  usb:" + ids + (device.serialNumber.empty() ? "" : ":" + device.serialNumber);
        }
        if (!device.byIdPath.empty()) {
            line += "\n    " + device.byIdPath;
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out, "\nPorts (from %s, then FLASHUPDATE_COM1 to FLASHUPDATE_COM4):\n",
                 settingsPath.c_str());
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        const std::string path = map.devicePath(port);
        std::fprintf(out, "  %d  Com%d  %s  (%s%s)\n", port, port, describeDevice(path).c_str(),
                     nameOf(map.source(port)), devicePresent(path) ? "" : ", missing");
    }
}

}  // namespace flashupdate::cli
