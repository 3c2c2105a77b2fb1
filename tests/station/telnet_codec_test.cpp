#include <gtest/gtest.h>

#include "com.h"
#include "port_transport.h"
#include "telnet_codec.h"

using namespace station;
using namespace station::telnet;

using Bytes = std::vector<uint8_t>;

// What the station sends a converter: the offer and the line set-up, byte for byte.
TEST(TelnetCodec, OfferAndLineSetupGoldenBytes) {
    EXPECT_EQ(OpeningOffer(),
              (Bytes{255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44}));

    // 9600 8N1, RTS/CTS, DTR on (7E2 without flow control goes through the engine's test).
    LineSettings line;
    EXPECT_EQ(LineSetup(line),
              (Bytes{255, 250, 44, 1,  0,    0,    0x25, 0x80, 255, 240,  // SET-BAUDRATE 9600
                     255, 250, 44, 2,  8,    255,  240,                   // SET-DATASIZE 8
                     255, 250, 44, 3,  1,    255,  240,                   // SET-PARITY none
                     255, 250, 44, 4,  1,    255,  240,                   // SET-STOPSIZE 1
                     255, 250, 44, 5,  3,    255,  240,        // SET-CONTROL hardware flow
                     255, 250, 44, 5,  8,    255,  240,        // SET-CONTROL DTR on
                     255, 250, 44, 10, 0x1E, 255,  240,        // line-state mask: errors
                     255, 250, 44, 11, 0xFF, 0xFF, 255,  240,  // modem-state mask: all, doubled
                     255, 250, 44, 12, 3,    255,  240}));     // PURGE-DATA both

    Bytes data;
    const uint8_t out[] = {0x10, 0xFF, 0xFF, 0x00, 0xFF};
    AppendData(data, out, sizeof out);
    EXPECT_EQ(data, (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}));
}

// The receive side gives the same data and commands however the stream is cut into reads:
// an escaped 0xFF, a negotiation and a notification split at every position.
TEST(TelnetCodec, ReceiverUndoublesAndParsesAcrossEveryCut) {
    const Bytes wire = {0x41, 255, 255, 0x42, 255,  253, 44,  // data, escaped FF, DO COM-PORT
                        255,  250, 44,  101,  0,    0,   0x25, 0x80, 255, 240,  // baud ack 9600
                        255,  255,                                              // FF
                        255,  250, 44,  106,  0x0A, 255, 240,  // line state: overrun, framing
                        255,  241,                             // NOP
                        255,  250, 44,  107,  0x88, 255, 240,  // modem state: DCD changed, up
                        0x43, 255, 255};
    const Bytes wantData = {0x41, 0xFF, 0x42, 0xFF, 0x43, 0xFF};
    const std::vector<Receiver::Event> wantEvents = {
        {Receiver::Event::Negotiate, DO, 44, {}},
        {Receiver::Event::ComPort, 0, 101, {0, 0, 0x25, 0x80}},
        {Receiver::Event::ComPort, 0, 106, {0x0A}},
        {Receiver::Event::ComPort, 0, 107, {0x88}}};
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        for (size_t cut2 = cut; cut2 <= wire.size(); cut2 += 3) {
            Receiver r;
            Bytes data;
            std::vector<Receiver::Event> events;
            r.Feed(wire.data(), cut, data, events);
            r.Feed(wire.data() + cut, cut2 - cut, data, events);
            r.Feed(wire.data() + cut2, wire.size() - cut2, data, events);
            ASSERT_EQ(data, wantData) << "cut at " << cut << " and " << cut2;
            ASSERT_EQ(events, wantEvents) << "cut at " << cut << " and " << cut2;
        }
    }

    // The notifications become the engine's line events, with a local line's texts.
    int code = 0;
    EXPECT_EQ(LineStateText(0x0A, &code),
              "CE_FRAME - The hardware detected a framing error, CE_OVERRUN - A character-buffer "
              "overrun has occurred. The next character is lost, \r\n");
    EXPECT_EQ(code, COMM_LINE_ERROR_NOTIFY);
    EXPECT_EQ(LineStateText(0x60, &code), "");  // transmitter empty: nothing to report
    EXPECT_EQ(ModemStateText(0x88 | MODEM_DELTA_CTS, &code),
              "The CTS (clear-to-send) signal changed state. The RLSD "
              "(receive-line-signal-detect) signal changed state. ");
    EXPECT_EQ(code, static_cast<int>(EV_CTS | EV_RLSD));
}

// Negotiation: what we offered is taken as agreed, anything else is refused once.
TEST(TelnetCodec, NegotiatorAnswersOnceAndTracksTheOption) {
    Negotiator n;
    EXPECT_EQ(n.comPort(), -1);
    EXPECT_EQ(n.Answer(WILL, 1), (Bytes{255, DONT, 1}));  // echo: not wanted
    EXPECT_EQ(n.Answer(WILL, 1), Bytes{});                // asked again: no loop
    EXPECT_EQ(n.Answer(DO, 24), (Bytes{255, WONT, 24}));  // terminal type: not offered
    EXPECT_EQ(n.Answer(DO, OPT_BINARY), Bytes{});
    EXPECT_EQ(n.Answer(WILL, OPT_SGA), Bytes{});
    EXPECT_EQ(n.Answer(DO, OPT_COM_PORT), Bytes{});
    EXPECT_EQ(n.comPort(), 1);
    Negotiator refused;
    refused.Answer(DONT, OPT_COM_PORT);
    EXPECT_EQ(refused.comPort(), 0);
}

// Converter addresses: what opens and what is refused, with the message naming it.
TEST(NetworkPortName, ParsesAddressesAndNamesWhatIsWrong) {
    std::string error;
    auto a = ParseNetworkPortName("rfc2217://gate3-converter.example:4001", &error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->kind, NetworkPortName::Rfc2217);
    EXPECT_EQ(a->host, "gate3-converter.example");
    EXPECT_EQ(a->port, 4001);
    a = ParseNetworkPortName("TCP://[fe80::1%eth0]:23", &error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->kind, NetworkPortName::Tcp);
    EXPECT_EQ(a->host, "fe80::1%eth0");
    EXPECT_EQ(a->port, 23);

    const struct {
        const char* name;
        const char* why;
    } kBad[] = {
        {"tcp://host", "no port number"},
        {"tcp://:4001", "no host"},
        {"tcp://host:0", "port 0 is not in 1-65535"},
        {"tcp://host:70000", "port 70000 is not in 1-65535"},
        {"rfc2217://host:40x1", "\"40x1\" is not a port number"},
        {"tcp://[::1:4001", "the IPv6 address has no closing ]"},
        {"tcp://ho st:4001", "\"ho st\" is not a host name"},
        {"rfc2217://host:4001/path", "\"4001/path\" is not a port number"},
    };
    for (const auto& c : kBad) {
        EXPECT_FALSE(ParseNetworkPortName(c.name, &error)) << c.name;
        EXPECT_NE(
            error.find(std::string("\"") + c.name + "\" is not a converter address (" + c.why),
            std::string::npos)
            << error;
    }
}
