// --list-ports: the serial devices the system knows and where Com1 to Com4 point.
#pragma once

#include <cstdio>

#include "serial/port_map.h"

namespace flashupdate::cli {

void listPorts(const PortMap& map, std::FILE* out);

}  // namespace flashupdate::cli
