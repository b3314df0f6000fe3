// A byte stream to a server (a TCP connection): what the serial device server's transport needs
// of it. Nothing here waits: the connection says what happened through its listener, from the
// event loop, and whoever needs a step bounded keeps a deadline of its own. Production binds it
// to QTcpSocket; tests bind it to a scripted server on virtual time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "serial/serial_error.h"

namespace flashupdate {

class Connection {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void connected() = 0;
        // Bytes wait to be read.
        virtual void readable() = 0;
        // The connection failed or the server ended it; nothing more will come.
        virtual void ended(const SerialError& error) = 0;
    };

    virtual ~Connection() = default;
    void setListener(Listener* listener) { m_listener = listener; }

    // Starts connecting; connected() or ended() tells how it went.
    virtual void connectTo(const std::string& host, std::uint16_t port) = 0;
    // At most most bytes of what has arrived; empty when nothing has.
    virtual std::string read(std::size_t most) = 0;
    // Queued on our side and sent as the connection can; never waits.
    virtual void write(std::string_view bytes) = 0;
    // Bytes our side still holds, unsent or not yet acknowledged by the far end.
    virtual std::size_t queued() = 0;
    // Ends our side once everything written has gone (a half close): the server sees every byte
    // before the end.
    virtual void endSending() = 0;
    // Drops the connection at once; the listener is told nothing more.
    virtual void abort() = 0;
    // Why connected() has not come within limit: a connection that has its own steps after
    // the server has answered (a TLS handshake) knows better than "no connection".
    virtual SerialError notConnectedWithin(std::chrono::milliseconds limit) const {
        return SerialError("no connection within " + std::to_string(limit.count() / 1000) + " s",
                           PortErrorKind::Unreachable);
    }
    // Adds what the connection knows that a remedy names, beyond the line's protocol.
    virtual void addFacts(FailureFacts&) const {}

protected:
    Listener* listener() const { return m_listener; }

private:
    Listener* m_listener = nullptr;
};

}  // namespace flashupdate
