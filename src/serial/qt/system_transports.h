// The media of this system under the serial control: a name of the form "rfc2217://HOST:PORT"
// is a line behind a serial device server, "rfc2217+tls://HOST:PORT" the same over TLS with the
// settings given, any other a serial device of this computer. Chosen anew at each opening, so
// Com1 to Com4 may name either.
#pragma once

#include "serial/serial_control.h"
#include "serial/tls_policy.h"

namespace flashupdate {

SerialControl::TransportFactory systemTransports(TlsSettings tls = {});

}  // namespace flashupdate
