// A serial port driven from an event loop: no call waits, and what takes time (opening a port
// behind a device server, the line carrying the bytes written, letting the port go) is begun by a
// call and ended by the listener's word. One loop on one thread can so drive any number of ports;
// the window drives one from Qt's loop, and tests drive them on virtual time.
//
// The listener is told only from the event loop (a timer, a descriptor or socket that is ready),
// never from inside a call to the port, so a listener may call the port from its handlers.
//
// The rules of the line are the serial control's (serial_control.h): writes keep the line's pace
// and run at most PacedTransmitter::kAheadLimit bytes ahead of it; a full medium is
// backpressure, and one that carries nothing for the stall limit loses the line; received bytes
// come in receive events, one a burst; memory is bounded by us, not by what the far end sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "serial/serial_error.h"

namespace flashupdate {

// One character per byte, codes 0 to 255; std::string holds any byte unchanged.
using ByteText = std::string;

class LinePort {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // beginOpen() has ended: the port is open with the settings and RTS state in force.
        virtual void portOpened() = 0;
        // beginOpen() has failed; error has its kind and the port's reason. The port is closed.
        virtual void portOpenFailed(const SerialError& error) = 0;
        // One receive event: the bytes of a burst (or of the longest while one lasts).
        virtual void portReceived(const ByteText& bytes) = 0;
        // After wantWritable(): room() is above 0 now.
        virtual void portWritable() = 0;
        // After wantDrained(): the line has carried every byte written.
        virtual void portDrained() = 0;
        // The line has failed for good while open (a hang-up, a closed connection, a medium that
        // takes nothing for the stall limit while written to or drained). Later calls that need
        // the line throw this error.
        virtual void portLost(const SerialError& error) = 0;
        // After beginClose(): the medium has been let go.
        virtual void portClosed() = 0;
    };

    virtual ~LinePort() = default;
    void setListener(Listener* listener) { m_listener = listener; }

    // Line settings text such as "9600,N,8,1"; applied at once when the port is open (behind a
    // device server the request goes out now and an unanswered one loses the line later).
    // Throws SerialError (Settings) for a text that is not such settings.
    virtual void setSettings(const std::string& settings) = 0;
    // Com1 to Com4, for the next opening; a different port left open is let go at once, with
    // what it still held discarded. Throws SerialError (Missing) for any other number.
    virtual void setCommPort(int port) = 0;
    virtual void setRTSEnable(bool enable) = 0;
    // The device the next opening uses.
    virtual std::string devicePath() const = 0;

    // Begins opening; portOpened() or portOpenFailed() follows. A port already open is
    // used as it is and portOpened() follows at once; one still closing is told portClosed()
    // first, then opened again.
    virtual void beginOpen() = 0;
    virtual bool portOpen() const = 0;
    // Bytes write() takes now while keeping the line's pace; 0 while the line is that far behind.
    virtual std::size_t room() = 0;
    // Hands over as much of bytes as room() and the medium take, in order, and says how many that
    // was; the caller keeps the rest and offers it again after portWritable(). Throws
    // SerialError when the port is not open or the line has been lost.
    virtual std::size_t write(std::string_view bytes) = 0;
    // One portWritable() once the port may take more, at the line's pace (a full medium is
    // looked at again shortly). A lost line is told by portLost() instead.
    virtual void wantWritable() = 0;
    // One portDrained() once the line has carried everything written, with no time limit but
    // the stall limit of a medium that carries nothing. Also when nothing is left to carry.
    virtual void wantDrained() = 0;
    // Bytes written and not yet carried by the line.
    virtual std::size_t notCarried() = 0;
    // Discards what was received and not yet told, and what a medium holds unread.
    virtual void purgeInput() = 0;
    // Discards what was written and has not yet left our side; what has left is beyond recall.
    virtual void purgeOutput() = 0;
    // Begins letting the port go: what was written may leave first, for at most the close
    // drain limit (nothing, after purgeOutput()); then the medium is let go (behind a device
    // server, once the server has ended its side or a bounded time has passed) and
    // portClosed() follows. Nothing is told about the line from here on but portClosed().
    // A port that is not open is told portClosed() too.
    virtual void beginClose() = 0;

protected:
    Listener* listener() const { return m_listener; }

private:
    Listener* m_listener = nullptr;
};

}  // namespace flashupdate
