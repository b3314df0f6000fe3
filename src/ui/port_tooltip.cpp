#include "ui/port_tooltip.h"

#include <QDir>

#include "serial/qt/serial_devices.h"
#include "serial/qt/serial_diagnostics.h"

namespace flashupdate {

DeviceState probeDevice(const std::string& devicePath) {
    DeviceState state;
    state.present = devicePresent(devicePath);
    // Only a device that is there has anything more to say about itself.
    state.description = state.present ? describeDevice(devicePath) : devicePath;
    return state;
}

QString homeRelative(const QString& path) {
#ifdef _WIN32
    return QDir::toNativeSeparators(path);
#else
    const QString home = QDir::homePath();
    if (home != QLatin1String("/") && path.startsWith(home + QLatin1Char('/'))) {
        return QLatin1Char('~') + path.mid(home.size());
    }
    return path;
#endif
}

QString portToolTip(int port, const PortMap& map, const QString& settingsPath,
                    const DeviceState& device) {
    QString origin;
    switch (map.source(port)) {
        case PortSource::Default:
            origin =
                QStringLiteral("The default (not named in %1)").arg(homeRelative(settingsPath));
            break;
        case PortSource::SettingsFile:
            origin = QStringLiteral("From the settings file %1").arg(homeRelative(settingsPath));
            break;
        case PortSource::Environment:
            origin = QStringLiteral("From the environment variable FLASHUPDATE_COM%1").arg(port);
            break;
    }
    return QString::fromStdString(device.description) + QLatin1Char('\n') + origin +
           QLatin1Char('\n') +
           (device.present ? QStringLiteral("Present") : QStringLiteral("Not present now"));
}

}  // namespace flashupdate
