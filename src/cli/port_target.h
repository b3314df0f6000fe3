// Where one update goes: a Com number of the window's map, or a device path given outright.
#pragma once

#include <string>
#include <vector>

#include "serial/port_map.h"

namespace flashupdate::cli {

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

}  // namespace flashupdate::cli
