#include "serial/qt/port_settings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include "common/escaped_text.h"

namespace flashupdate {

QString portSettingsPath() {
    // Named outright rather than through QSettings' organisation and application, so that every
    // program of the package reads the same file and can say which one it is.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("Quenlid/flashupdate.conf"));
}

PortMap::Entries readPortSettings(const QString& path) {
    PortMap::Entries entries;
    const QSettings settings(path, QSettings::IniFormat);
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        const QVariant value = settings.value(QStringLiteral("Com%1").arg(port));
        const std::string device = value.toString().trimmed().toStdString();
        if (device.empty()) {
            continue;
        }
        // A NUL byte ("\0" in the file, or the byte itself) is malformed: the system would open
        // the name up to it, another device than the one shown. The port names the value as it
        // is shown, "\x00" and all, which no device has, so opening it fails and says which.
        entries[static_cast<std::size_t>(port - PortMap::kFirstPort)] =
            device.find('\0') == std::string::npos ? device : escapedText(device);
    }
    return entries;
}

QString readTracePath(const QString& path) {
    return QSettings(path, QSettings::IniFormat)
        .value(QStringLiteral("Trace"))
        .toString()
        .trimmed();
}

TlsSettings readTlsSettings(const QString& path) {
    const QSettings settings(path, QSettings::IniFormat);
    const auto text = [&](const char* key) {
        return settings.value(QLatin1String(key)).toString().trimmed().toStdString();
    };
    TlsSettings tls;
    tls.caFile = text("TlsCa");
    tls.pin = text("TlsPin");
    tls.certFile = text("TlsCert");
    tls.keyFile = text("TlsKey");
    return tls;
}

TlsSettings loadTlsSettings() {
    return readTlsSettings(portSettingsPath());
}

PortMap loadPortMap() {
    return PortMap::fromSettingsAndEnvironment(readPortSettings(portSettingsPath()));
}

}  // namespace flashupdate
