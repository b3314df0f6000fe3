// A serial device server on virtual time, as the connection under the real RFC 2217 transport.
// It speaks the server's side of Telnet and the Com Port Control option, written from the
// server's side with its own constants, and can be told to misbehave:
//   connect            Answers, Refuses, or Silent (the connection is never made)
//   agree              takes up binary transmission and the option; false declines both
//   answerNegotiation  false: says nothing at all to the opening's requests
//   closesOnEnd        false: never ends its side after the client has ended its own
//   answerLine         confirms each line request with the value asked
//   resetOn            ends the connection as a reset when that stage's first byte arrives
//   stopReadingAfter   takes this many data bytes, then nothing more (a stalled far end): what
//                      the client writes stays in its own queue
//   sendRaw(bytes, at) sends bytes as they stand (floods, broken commands) at that time
//   sendData(bytes, at) sends line data, 0xFF doubled, at that time
// data holds every data byte the server received; negotiationAnswers every command the client
// sent that was not part of its opening or a Com Port request.
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "fakes/virtual_event_loop.h"
#include "serial/connection.h"

namespace flashupdate::testing {

class ScriptedServer final : public Connection {
public:
    enum class Connect { Answers, Refuses, Silent };
    enum class Stage { Never, Negotiation, LineRequest };

    explicit ScriptedServer(VirtualEventLoop& loop) : m_loop(loop) {}

    Connect connect = Connect::Answers;
    bool agree = true;
    bool answerNegotiation = true;
    bool answerLine = true;
    bool closesOnEnd = true;
    Stage resetOn = Stage::Never;
    std::size_t stopReadingAfter = std::numeric_limits<std::size_t>::max();
    // One way, each way.
    Micros latency = ms(1);

    std::string data;
    std::string negotiationAnswers;
    int lineRequests = 0;

    void sendRaw(std::string bytes, Micros at);
    void sendData(const std::string& bytes, Micros at);

    void connectTo(const std::string& host, std::uint16_t port) override;
    std::string read(std::size_t most) override;
    void write(std::string_view bytes) override;
    std::size_t queued() override { return m_outbox.size(); }
    void endSending() override;
    void abort() override { m_aborted = true; }

private:
    void deliver();
    void take(unsigned char byte);
    void command(unsigned char verb, unsigned char option);
    void subnegotiation(const std::string& payload);
    void reset();
    void reply(const std::string& bytes);

    VirtualEventLoop& m_loop;
    bool m_aborted = false;
    bool m_open = false;
    std::string m_outbox;  // written by the client, not yet taken by the server
    std::string m_inbox;   // sent by the server, not yet read by the client
    // The server's Telnet reader.
    enum class Reading { Data, Iac, Verb, Sub, SubIac } m_reading = Reading::Data;
    unsigned char m_verb = 0;
    std::string m_sub;
};

}  // namespace flashupdate::testing
