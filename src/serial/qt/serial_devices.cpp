#include "serial/qt/serial_devices.h"

#include <QHostInfo>
#include <QSerialPortInfo>
#include <filesystem>
#include <map>

namespace flashupdate {

namespace fs = std::filesystem;

namespace {

// Device path -> alias. An adapter with two ports has one alias per port, each its own device.
std::map<std::string, std::string> byIdAliases() {
    std::map<std::string, std::string> aliases;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        std::error_code linkError;
        const fs::path target = fs::canonical(entry.path(), linkError);
        if (!linkError) {
            aliases.emplace(target.string(), entry.path().string());
        }
    }
    return aliases;
}

}  // namespace

std::vector<SerialDeviceInfo> listSerialDevices() {
    const auto aliases = byIdAliases();
    std::vector<SerialDeviceInfo> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialDeviceInfo device;
        device.path = info.systemLocation().toStdString();
        if (const auto alias = aliases.find(device.path); alias != aliases.end()) {
            device.byIdPath = alias->second;
        }
        device.description = info.description().toStdString();
        device.manufacturer = info.manufacturer().toStdString();
        device.serialNumber = info.serialNumber().toStdString();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            device.vendorId = info.vendorIdentifier();
            device.productId = info.productIdentifier();
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

bool devicePresent(const std::string& devicePath) {
    // A serial device server is there when its name resolves; whether it answers shows only on
    // connecting.
    if (isNetworkPortName(devicePath)) {
        const auto address = parseNetworkPortName(devicePath);
        return address && QHostInfo::fromName(QString::fromStdString(address->host)).error() ==
                              QHostInfo::NoError;
    }
#ifdef _WIN32
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.portName().compare(QString::fromStdString(devicePath), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
#else
    std::error_code error;
    return fs::exists(devicePath, error);
#endif
}

}  // namespace flashupdate
