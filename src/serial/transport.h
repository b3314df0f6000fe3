// What carries a line under the serial control: a local device, the connection to a serial
// device server, the tests' fake line. The control holds every rule of the line (its pace,
// received bytes in bursts, a line that is gone, the waits); a transport only does what its
// medium does. It never waits: what takes time on its medium (connecting, the server's answers,
// letting go) is begun by a call and ended by a word to its listener.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "serial/line_settings.h"
#include "serial/serial_error.h"

namespace flashupdate {

class Transport {
public:
    // Told from the event loop, except that a medium which opens or lets go at once tells
    // opened(), openFailed() or closed() before beginOpen() or beginClose() returns.
    class Listener {
    public:
        virtual ~Listener() = default;
        // beginOpen() has ended: the line is open with the settings and RTS state asked for.
        virtual void opened() = 0;
        // beginOpen() has failed, with the kind and the medium's reason; nothing is open.
        virtual void openFailed(const SerialError& error) = 0;
        // beginClose() has ended: the medium has been let go.
        virtual void closed() = 0;
        virtual void bytesArrived(std::string_view bytes) = 0;
        // The line has failed for good (a hang-up, a closed connection, a broken protocol).
        virtual void lineLost(const SerialError& error) = 0;
        // Something whoever debugs the line should know that fails nothing.
        virtual void note(const std::string& text) = 0;
    };

    // How received bytes are cut into receive events on this medium: one event once the line
    // has been quiet for quiet, and at least one every longest while it never is.
    struct BurstTiming {
        std::chrono::milliseconds quiet;
        std::chrono::milliseconds longest;
    };

    virtual ~Transport() = default;
    void setListener(Listener* listener) { m_listener = listener; }

    // Begins opening the device named, with these settings and that state of the RTS line;
    // opened() or openFailed() follows. Whatever arrived before is discarded.
    virtual void beginOpen(const std::string& name, const LineSettings& settings, bool rts) = 0;
    // Applies at once where the medium can; a medium that must be answered asks now, and an
    // answer that does not come loses the line. Throws SerialError for settings refused at once.
    virtual void applySettings(const LineSettings& settings) = 0;
    virtual void setRts(bool rts) = 0;
    // Takes as much of bytes as the medium takes without waiting; 0 when it is full. Throws
    // SerialError when the line has failed.
    virtual std::size_t write(std::string_view bytes) = 0;
    // Bytes written and still on our side, not yet on their way (0 where that cannot be seen).
    virtual std::size_t queued() = 0;
    virtual void purgeInput() = 0;
    virtual void purgeOutput() = 0;
    // Begins letting go of the line once the control has let the written bytes leave; a medium
    // that needs the far end's word first waits for it, bounded. closed() follows; nothing else
    // is told from here on. Never throws SerialError.
    virtual void beginClose() = 0;
    // Looks now whether the line has hung up, for media that raise no event for it.
    virtual void checkLine() {}
    virtual BurstTiming burstTiming() const = 0;
    // What this medium knows that the remedy for a failure of this kind names (remedyOf gives the
    // words). Some facts cost a look at the system: only those the kind needs are gathered.
    virtual FailureFacts factsAbout(PortErrorKind kind) const = 0;

protected:
    void tellOpened() {
        if (m_listener != nullptr) {
            m_listener->opened();
        }
    }
    void tellOpenFailed(const SerialError& error) {
        if (m_listener != nullptr) {
            m_listener->openFailed(error);
        }
    }
    void tellClosed() {
        if (m_listener != nullptr) {
            m_listener->closed();
        }
    }
    void announce(std::string_view bytes) {
        if (m_listener != nullptr && !bytes.empty()) {
            m_listener->bytesArrived(bytes);
        }
    }
    void lose(const SerialError& error) {
        if (m_listener != nullptr) {
            m_listener->lineLost(error);
        }
    }
    void note(const std::string& text) {
        if (m_listener != nullptr) {
            m_listener->note(text);
        }
    }

private:
    Listener* m_listener = nullptr;
};

}  // namespace flashupdate
