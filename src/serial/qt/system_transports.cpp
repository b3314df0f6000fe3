#include "serial/qt/system_transports.h"

#include "serial/port_names.h"
#include "serial/qt/local_transport.h"
#include "serial/qt/tcp_connection.h"
#include "serial/qt/tls_connection.h"
#include "serial/rfc2217_transport.h"

namespace flashupdate {

SerialControl::TransportFactory systemTransports(TlsSettings tls) {
    return [tls = std::move(tls)](const std::string& devicePath,
                                  EventLoop& events) -> std::unique_ptr<Transport> {
        // A TLS name never falls back to plain TCP.
        if (isSecureNetworkPortName(devicePath)) {
            return std::make_unique<Rfc2217Transport>(events, std::make_unique<TlsConnection>(tls));
        }
        if (isNetworkPortName(devicePath)) {
            return std::make_unique<Rfc2217Transport>(events, std::make_unique<TcpConnection>());
        }
        return std::make_unique<LocalTransport>(events);
    };
}

}  // namespace flashupdate
