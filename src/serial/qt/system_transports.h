// The media of this system under the serial control: a name of the form "rfc2217://HOST:PORT"
// is a line behind a serial device server, any other a serial device of this computer. Chosen
// anew at each opening, so Com1 to Com4 may name either.
#pragma once

#include "serial/serial_control.h"

namespace flashupdate {

SerialControl::TransportFactory systemTransports();

}  // namespace flashupdate
