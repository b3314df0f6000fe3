#include "cli/port_listing.h"

#include <QSerialPortInfo>

#include "serial/serial_diagnostics.h"

namespace flashupdate::cli {

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
