// The settings file that maps Com1 to Com4 to devices, for the window and flashupdate-cli alike:
// ~/.config/Quenlid/flashupdate.conf on Linux (under $XDG_CONFIG_HOME when that is set), with
// one key per port:
//
//   [General]
//   Com1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0
//   Com2=/dev/ttyUSB1
//   Trace=/home/tech/flashupdate.trace
//
// and for lines over TLS (rfc2217+tls://HOST:PORT), the CA that issues the servers' certificates
// or one server certificate's pin, and the technician's own certificate and key:
//
//   TlsCa=/home/tech/.config/Quenlid/ca.pem
//   TlsPin=sha256:3f2a...
//   TlsCert=/home/tech/.config/Quenlid/tech.pem
//   TlsKey=/home/tech/.config/Quenlid/tech.key
#pragma once

#include <QString>

#include "serial/port_map.h"
#include "serial/tls_policy.h"

namespace flashupdate {

QString portSettingsPath();

// Com1 to Com4 as the file at path names them; nothing for a file that is missing or unreadable.
// A value holding a NUL byte is malformed: it names the value as escapedText shows it, a device
// that does not exist.
PortMap::Entries readPortSettings(const QString& path);

// The settings file's map with FLASHUPDATE_COM1 to FLASHUPDATE_COM4 over it.
PortMap loadPortMap();

// The TLS settings of the file at path; what the command line gives wins over them.
TlsSettings readTlsSettings(const QString& path);
TlsSettings loadTlsSettings();

// Where the window records the wire (key Trace under [General]); empty for nowhere.
QString readTracePath(const QString& path);

}  // namespace flashupdate
