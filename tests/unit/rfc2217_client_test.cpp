// The Com Port Control client against a scripted serial device server, on virtual time.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "serial/rfc2217_client.h"
#include "serial/serial_port.h"

namespace flashupdate::testing {
namespace {

using namespace telnet;
using namespace std::chrono_literals;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) {
        text += static_cast<char>(value);
    }
    return text;
}

// A server that answers what the client sends through respond(), chunk by chunk as its
// connection delivers them. A receive with nothing to deliver lets its whole limit pass.
class ScriptedServer final : public NetworkLink {
public:
    std::function<void(ScriptedServer&, const std::string&)> respond;
    std::deque<std::string> chunks;
    std::string sent;
    std::chrono::nanoseconds clock{0};
    int receives = 0;

    void send(std::string_view data) override {
        sent += data;
        if (respond) {
            respond(*this, std::string(data));
        }
    }
    std::string receive(std::chrono::milliseconds limit) override {
        ++receives;
        if (chunks.empty()) {
            clock += limit;
            return {};
        }
        clock += 1ms;
        std::string chunk = chunks.front();
        chunks.pop_front();
        return chunk;
    }
    std::chrono::nanoseconds now() override { return clock; }
};

// Agrees to everything and confirms each line request with the value asked, or with what
// answerFor says.
void agreeable(ScriptedServer& server, const std::string& data,
               const std::function<std::string(unsigned char, std::string)>& answerFor = {}) {
    if (data.find(negotiation(kWill, kComPort)) != std::string::npos) {
        // Its own wishes too, and the acceptance cut in the middle of a command.
        const std::string accept = negotiation(kWill, 1) + negotiation(kDo, kBinary) +
                                   negotiation(kWill, kBinary) + negotiation(kDo, kComPort);
        server.chunks.push_back(accept.substr(0, 4));
        server.chunks.push_back(accept.substr(4));
        return;
    }
    for (std::size_t at = data.find(bytes({kIac, kSb, kComPort})); at != std::string::npos;
         at = data.find(bytes({kIac, kSb, kComPort}), at + 1)) {
        const auto command = static_cast<unsigned char>(data[at + 3]);
        const std::size_t end = data.find(bytes({kIac, kSe}), at);
        std::string value = data.substr(at + 4, end - at - 4);
        if (command > kSetStopSize) {
            continue;  // DTR, RTS and purges: a pseudo-terminal's ser2net says nothing
        }
        if (answerFor) {
            value = answerFor(command, value);
        }
        if (!value.empty()) {
            server.chunks.push_back(comPortRequest(command + kServerReply, value));
        }
    }
}

TEST(Rfc2217Client, OpensInBinaryWithTheOptionAndTheLineAsAskedAndNeverWaitsForModemLines) {
    ScriptedServer server;
    server.respond = [](ScriptedServer& s, const std::string& data) { agreeable(s, data); };
    Rfc2217Client client(server);
    client.open(LineSettings::parse("1200,N,8,1"));

    const std::string sent = server.sent;
    EXPECT_EQ(sent.substr(0, 9), negotiation(kWill, kBinary) + negotiation(kDo, kBinary) +
                                     negotiation(kWill, kComPort));
    EXPECT_NE(sent.find(negotiation(kDont, 1)), std::string::npos) << "the server's echo refused";
    EXPECT_NE(sent.find(comPortRequest(kSetBaudRate, bytes({0, 0, 0x04, 0xB0}))),
              std::string::npos);
    EXPECT_NE(sent.find(comPortRequest(kSetParity, bytes({1}))), std::string::npos);
    EXPECT_EQ(client.takeWarnings(), "");

    const int receives = server.receives;
    client.setModemLines(true, false);
    EXPECT_EQ(server.receives, receives);
    EXPECT_NE(server.sent.find(comPortRequest(kSetControl, bytes({kRtsOff}))), std::string::npos);
}

TEST(Rfc2217Client, ByteFFIsDoubledBothWaysAndCommandsNeverReachTheData) {
    ScriptedServer server;
    Rfc2217Client client(server);
    EXPECT_EQ(escapeData(bytes({0xFF, 0x0D, 0x00, 0xFF, 0xFF})),
              bytes({0xFF, 0xFF, 0x0D, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    // A line-state notification cut across two reads, between data bytes 0xFF and CR.
    std::string data;
    client.take(bytes({0xFF, 0xFF, kIac, kSb, kComPort}), data);
    client.take(bytes({106, 0x10, kIac, kSe, 0x0D, 0x00, kIac}), data);
    client.take(bytes({kIac}), data);
    EXPECT_EQ(data, bytes({0xFF, 0x0D, 0x00, 0xFF}));
}

TEST(Rfc2217Client, AServerThatRefusesOrAnswersOtherwiseFailsTheOpeningByName) {
    struct Case {
        const char* name;
        std::function<void(ScriptedServer&, const std::string&)> respond;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"the option refused",
         [](ScriptedServer& s, const std::string&) {
             if (s.sent.size() == 9) {
                 s.chunks.push_back(negotiation(kDo, kBinary) + negotiation(kWill, kBinary) +
                                    negotiation(kDont, kComPort));
             }
         },
         "the server refused the Com Port Control option (RFC 2217)"},
        {"a plain TCP bridge", [](ScriptedServer&, const std::string&) {},
         "did not take up the Com Port Control option"},
        {"another speed",
         [](ScriptedServer& s, const std::string& data) {
             agreeable(s, data, [](unsigned char command, std::string value) {
                 return command == kSetBaudRate ? bytes({0, 0, 0x25, 0x80}) : value;
             });
         },
         "the server set 9600 baud instead of 1200"},
        {"the speed never confirmed",
         [](ScriptedServer& s, const std::string& data) {
             agreeable(s, data, [](unsigned char command, std::string value) {
                 return command == kSetBaudRate ? std::string() : value;
             });
         },
         "the server did not confirm the speed of 1200 baud"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.respond = c.respond;
        Rfc2217Client client(server);
        try {
            client.open(LineSettings::parse("1200,N,8,1"));
            ADD_FAILURE() << "opened";
        } catch (const SerialError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
        // Every wait is bounded: at most one answer limit for each of the two exchanges.
        EXPECT_LE(server.clock, 2 * Rfc2217Client::kAnswerLimit + 100ms);
    }
}

}  // namespace
}  // namespace flashupdate::testing
