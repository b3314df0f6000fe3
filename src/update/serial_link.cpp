#include "update/serial_link.h"

namespace flashupdate {

SerialLink::SerialLink(SerialPort& port) : comSerial(port) {
    comSerial.setOnComm([this] { comSerial_OnComm(); });
}

SerialLink::~SerialLink() {
    comSerial.setOnComm({});
}

void SerialLink::comSerial_OnComm() {
    // Send events, line-state changes and line errors change nothing: the procedure notices a
    // troubled line only through its reply time-outs and the checksum comparison.
    if (comSerial.commEvent() == comEvReceive) {
        RxData = comSerial.input();
        if (onReceive) {
            onReceive(RxData);
        }
    }
}

}  // namespace flashupdate
