#include "cli/cli_options.h"

#include "cli/exit_codes.h"

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

}  // namespace flashupdate::cli
