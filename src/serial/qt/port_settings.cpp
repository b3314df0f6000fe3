#include "serial/qt/port_settings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

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
        const QString device = value.toString().trimmed();
        if (!device.isEmpty()) {
            entries[static_cast<std::size_t>(port - PortMap::kFirstPort)] = device.toStdString();
        }
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
