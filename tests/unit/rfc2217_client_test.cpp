// The Com Port Control client against the bytes of well-behaved, broken and hostile servers.
#include <gtest/gtest.h>

#include <functional>

#include "serial/rfc2217_client.h"
#include "serial/serial_error.h"

namespace flashupdate::testing {
namespace {

using namespace telnet;
using Agreement = Rfc2217Client::Agreement;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) {
        text += static_cast<char>(value);
    }
    return text;
}

// The data among what the server sent.
std::string fed(Rfc2217Client& client, std::string_view stream) {
    std::string data;
    client.feed(stream, data);
    return data;
}

// The error text of what throws, with its kind checked; empty when nothing throws.
std::string protocolError(const std::function<void()>& action) {
    try {
        action();
    } catch (const SerialError& error) {
        EXPECT_EQ(error.kind(), PortErrorKind::Protocol) << error.what();
        return error.what();
    }
    return {};
}

const std::string kAgreement =
    negotiation(kDo, kBinary) + negotiation(kWill, kBinary) + negotiation(kDo, kComPort);

Rfc2217Client agreedClient() {
    Rfc2217Client client;
    client.startOpening();
    fed(client, kAgreement);
    client.takeOutgoing();
    return client;
}

TEST(Rfc2217Client, OpeningAsksOnceAndAnswersOnlyWhatTheServerAsksAnew) {
    Rfc2217Client client;
    // The server asks first for binary transmission from us: agreed, and not asked again.
    fed(client, negotiation(kDo, kBinary));
    EXPECT_EQ(client.takeOutgoing(), negotiation(kWill, kBinary));
    client.startOpening();
    EXPECT_EQ(client.takeOutgoing(), negotiation(kDo, kBinary) + negotiation(kWill, kComPort));
    EXPECT_EQ(fed(client, negotiation(kWill, 1) + kAgreement), "");
    EXPECT_EQ(client.takeOutgoing(), negotiation(kDont, 1)) << "only its echo refused";
    EXPECT_EQ(client.agreement(), Agreement::Agreed);
    EXPECT_EQ(protocolError([&] { client.throwOpeningFailure(); }), "");

    client.setModemLines(true, false);
    EXPECT_EQ(client.takeOutgoing(), comPortRequest(kSetControl, bytes({1})) +
                                         comPortRequest(kSetControl, bytes({8})) +
                                         comPortRequest(kSetControl, bytes({12})));
}

TEST(Rfc2217Client, AServerThatRefusesOrNeverAnswersFailsTheOpeningByName) {
    const std::string refusedBinary = "the server refused binary transmission";
    const struct {
        std::string answer;
        Agreement agreement;
        std::string error;
    } cases[] = {
        {negotiation(kDo, kBinary) + negotiation(kDont, kComPort), Agreement::Refused,
         "the server refused the Com Port Control option (RFC 2217)"},
        {negotiation(kDont, kBinary), Agreement::Refused, refusedBinary},
        {negotiation(kWont, kBinary), Agreement::Refused, refusedBinary},
        {kAgreement + negotiation(kWont, kBinary), Agreement::Refused, refusedBinary},
        {"", Agreement::Pending,
         "the server did not take up the Com Port Control option (RFC 2217): is it an RFC 2217 "
         "server?"},
        {negotiation(kDo, kComPort) + negotiation(kWill, kBinary), Agreement::Pending,
         "the server did not agree to binary transmission"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Rfc2217Client client;
        client.startOpening();
        fed(client, c.answer);
        EXPECT_EQ(client.agreement(), c.agreement);
        EXPECT_EQ(protocolError([&] { client.throwOpeningFailure(); }), c.error);
    }
}

TEST(Rfc2217Client, ARequestRepeatedAMillionTimesIsAnsweredAtMostOnce) {
    const struct {
        std::string request;
        std::string answers;
    } cases[] = {
        {negotiation(kDo, 1), negotiation(kWont, 1)},
        {negotiation(kWill, 1), negotiation(kDont, 1)},
        {negotiation(kWill, kComPort), negotiation(kDont, kComPort)},
        {negotiation(kDo, kBinary), ""},
        {negotiation(kWill, kBinary), ""},
        {negotiation(kDo, kComPort), ""},
        {negotiation(kWont, 3), ""},
        {negotiation(kDont, kBinary), negotiation(kWont, kBinary)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Rfc2217Client client = agreedClient();
        for (int i = 0; i < 1'000'000; ++i) {
            fed(client, c.request);
        }
        EXPECT_EQ(client.takeOutgoing(), c.answers);
    }
}

TEST(Rfc2217Client, ASubnegotiationPastTheLongestFailsAndIsNeverHeld) {
    // Doubled 0xFF counts once, as the server meant it.
    for (const std::size_t length : {Rfc2217Client::kLongestSubnegotiation, std::size_t{257}}) {
        Rfc2217Client client;
        const std::string sub = bytes({kIac, kSb, kComPort}) +
                                escapeData(std::string(length, '\xFF')) + bytes({kIac, kSe});
        std::string data;
        EXPECT_EQ(protocolError([&] { client.feed(sub + "after", data); }).empty(), length == 256);
        EXPECT_EQ(data, length == 256 ? "after" : "");
    }

    // Megabytes that never end: the third chunk of 100 passes the longest, and nothing after it
    // is taken.
    Rfc2217Client client;
    const std::string chunk(100, 'x');
    fed(client, bytes({kIac, kSb, kComPort}) + chunk.substr(3));
    fed(client, chunk);
    EXPECT_NE(protocolError([&] { fed(client, chunk); }), "");
    std::string data;
    EXPECT_NE(protocolError([&] { client.feed(chunk + bytes({kIac, kSe}) + "data", data); }), "");
    EXPECT_EQ(data, "");
}

TEST(Rfc2217Client, DataComesOutOnceAndTheSameWhereverTheStreamIsCut) {
    EXPECT_EQ(escapeData(bytes({0xFF, 0x0D, 0x00, 0xFF, 0xFF})),
              bytes({0xFF, 0xFF, 0x0D, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    // Built without a literal in front: GCC 12 warns falsely (-Wrestrict) on "A" + string.
    const std::string stream = bytes({'A', kIac, kIac}) + negotiation(kWill, 1) +
                               bytes({kIac, kSb, kComPort, 106, kIac, kIac, 0x10, kIac, kSe}) +
                               bytes({0x0D, 0x00, kIac, 241}) + negotiation(kDo, 1) +
                               comPortRequest(kSetBaudRate + kServerReply, bytes({0, 0, 4, 0xB0})) +
                               bytes({kIac, kIac, 'Z'});
    const std::string expected = bytes({'A', 0xFF, 0x0D, 0x00, 0xFF, 'Z'});
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); ++second) {
            Rfc2217Client client;
            client.requestLine(LineSettings{.baudRate = 1200});
            client.takeOutgoing();
            std::string data;
            client.feed(stream.substr(0, first), data);
            client.feed(stream.substr(first, second - first), data);
            client.feed(stream.substr(second), data);
            ASSERT_EQ(data, expected) << first << ' ' << second;
            ASSERT_EQ(client.takeOutgoing(), negotiation(kDont, 1) + negotiation(kWont, 1));
            ASSERT_EQ(protocolError([&] { client.checkLine(); }), "");
        }
    }
}

TEST(Rfc2217Client, TheLineIsCheckedAgainstTheAnswers) {
    const std::string notifications = comPortRequest(106, bytes({0x60})) +
                                      comPortRequest(107, bytes({0xB0})) +
                                      comPortRequest(105, bytes({8}));
    const auto answer = [](int request, const std::string& value) {
        return comPortRequest(static_cast<unsigned char>(request + kServerReply), value);
    };
    // A speed with 0xFF in it, doubled both ways.
    const std::string speed = answer(kSetBaudRate, bytes({0, 0, 0x12, 0xFF}));
    const std::string format = answer(kSetDataSize, bytes({8})) + answer(kSetParity, bytes({1})) +
                               answer(kSetStopSize, bytes({1}));
    const struct {
        const char* name;
        std::string answers;
        bool answered;
        const char* error;
        const char* warnings;
    } cases[] = {
        {"all confirmed", notifications + speed + format, true, "", ""},
        {"notifications only", notifications, false,
         "the server did not confirm the speed of 4863 baud", ""},
        {"another speed", format + answer(kSetBaudRate, bytes({0, 0, 0x25, 0x80})), true,
         "the server set 9600 baud instead of 4863", ""},
        {"parity refused", speed + format + answer(kSetParity, bytes({2})), true,
         "the server refused the line format (request 3)", ""},
        {"format left out", speed + answer(kSetParity, bytes({1})), false, "",
         "the server did not confirm Com Port request 2; "
         "the server did not confirm Com Port request 4; "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rfc2217Client client = agreedClient();
        client.requestLine(LineSettings::parse("4863,N,8,1"));
        EXPECT_EQ(client.takeOutgoing().substr(0, 11),
                  bytes({kIac, kSb, kComPort, kSetBaudRate, 0, 0, 0x12, kIac, kIac, kIac, kSe}));
        fed(client, c.answers);
        EXPECT_EQ(client.lineAnswered(), c.answered);
        EXPECT_EQ(protocolError([&] { client.checkLine(); }), c.error);
        EXPECT_EQ(client.takeWarnings(), c.warnings);
    }
}

}  // namespace
}  // namespace flashupdate::testing
