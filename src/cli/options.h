// The command line of flashupdate-cli: its options, the ports they name (a Com number of the
// window's map or a device path), and --list-ports.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_map.h"

namespace flashupdate::cli {

// The command line of flashupdate-cli.
struct CliOptions {
    bool help = false;
    bool listPorts = false;
    bool json = false;
    std::optional<std::string> bootLoader;
    std::vector<std::string> ports;
    std::string image;
};

struct ParsedOptions {
    CliOptions options;
    std::string error;  // empty when the command line is usable
};

ParsedOptions parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

// Where one update goes: a Com number of the window's map, or a device path given outright.
struct PortTarget {
    std::string label;       // how the output names the port: "Com2", "/dev/ttyUSB0"
    PortMap map;             // the map this port's update opens through
    int comNumber = 1;       // the button the update "selects"
    std::string devicePath;  // for spotting the same device named twice
};

struct ResolvedTargets {
    std::vector<PortTarget> targets;
    std::string error;  // a usage error; empty when every PORT is usable
};

ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& environment);

// --list-ports: the serial devices the system knows and where Com1 to Com4 point.
void listPorts(const PortMap& map, std::FILE* out);

}  // namespace flashupdate::cli
