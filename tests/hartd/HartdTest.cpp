/*
 * hartd as a peer sees it: the service started with --sim on loopback, and
 * clients on UDP and TCP sockets. Waits are bounded waits on sockets and on
 * the service's log, never sleeps.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "HartdPeer.h"
#include "PtyLine.h"

namespace {

using namespace hartd_test;

/* hartctl run with args ends with status and prints every one of texts. */
void ExpectHartctl(const std::string& args, int status, std::initializer_list<const char*> texts)
{
    auto [out, got] = RunHartctl(args);
    EXPECT_EQ(got, status) << out;
    for (const char* text : texts) {
        EXPECT_NE(out.find(text), std::string::npos) << out;
    }
}

TEST(HartdTest, AUdpSessionFromInitiateToCloseAndExpiry)
{
    Hartd hartd({"--min-inactivity-ms", "300"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp client(hartd.Port());

    Reply early = Read(client.Ask(Request(hartip::kTokenPassingPdu, 1, Frame(0, 0))));
    EXPECT_EQ(early.header.type, hartip::kResponse);
    EXPECT_EQ(early.header.status, hartip::status::kAccessRestricted) << "nothing before the initiate";

    Reply initiate = Read(client.Ask(Initiate(2)));
    EXPECT_EQ(initiate.header.type, hartip::kResponse);
    EXPECT_EQ(initiate.header.status, 0);
    EXPECT_EQ(initiate.header.sequence, 2);
    EXPECT_EQ(initiate.body, hartip::InitiateBodyBytes({1, 60000}));

    ExpectAnswerFrame(Read(client.Ask(Request(hartip::kTokenPassingPdu, 3, Frame(0, 0)))), 3, 0);
    Reply alive = Read(client.Ask(Request(hartip::kKeepAlive, 4)));
    EXPECT_EQ(alive.header.status, 0);
    EXPECT_EQ(alive.header.sequence, 4);
    Reply closed = Read(client.Ask(Request(hartip::kSessionClose, 5)));
    EXPECT_EQ(closed.header.status, 0);
    EXPECT_TRUE(hartd.WaitFor("closed by the peer"));
    EXPECT_EQ(Read(client.Ask(Request(hartip::kKeepAlive, 6))).header.status, hartip::status::kAccessRestricted);

    /* A close time below the bounds is raised to the shortest, and the session then runs out. */
    Reply clamped = Read(client.Ask(Initiate(7, 10, 0)));
    EXPECT_EQ(clamped.header.status, hartip::status::kSetToNearest);
    EXPECT_EQ(clamped.body, hartip::InitiateBodyBytes({0, 300}));
    /* A secondary master's frame on a primary port goes out as the port's, or its answer would never be taken. */
    const Bytes secondary{0x02, 0x00, 0x00, 0x00, 0x02};
    Reply asSecondary = Read(client.Ask(Request(hartip::kTokenPassingPdu, 9, secondary)));
    ExpectAnswerFrame(asSecondary, 9, 0);
    ASSERT_GE(asSecondary.body.size(), 2u);
    EXPECT_EQ(asSecondary.body[1] & 0x80, 0x80);
    EXPECT_TRUE(hartd.WaitFor("is a secondary master; its frames go out as the port's primary master")) << hartd.Log();
    EXPECT_TRUE(hartd.WaitFor("inactive for 300 ms")) << hartd.Log();
    EXPECT_EQ(Read(client.Ask(Request(hartip::kKeepAlive, 10))).header.status, hartip::status::kAccessRestricted);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
    EXPECT_NE(hartd.Log().find("0 framework objects left"), std::string::npos);
}

TEST(HartdTest, UdpSessionsAreKeptApartByPeerLimitedInNumberAndTakeTurnsOnTheLine)
{
    Hartd hartd({"--max-sessions", "2", "--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp a(hartd.Port());
    Udp b(hartd.Port());
    EXPECT_EQ(Read(a.Ask(Initiate(1))).header.status, 0);
    EXPECT_EQ(Read(b.Ask(Initiate(1))).header.status, 0);

    /* A flood of initiates from new peers: every one is refused, none is lost, and the service goes on. */
    std::vector<std::unique_ptr<Udp>> flood;
    for (int i = 0; i < 20; i++) {
        flood.push_back(std::make_unique<Udp>(hartd.Port()));
        flood.back()->Send(Initiate(static_cast<std::uint16_t>(100 + i)));
    }
    for (int i = 0; i < 20; i++) {
        Reply refused = Read(flood[static_cast<std::size_t>(i)]->Receive());
        EXPECT_EQ(refused.header.status, hartip::status::kSessionsInUse);
        EXPECT_EQ(refused.header.sequence, 100 + i);
    }

    for (std::uint16_t sequence = 10; sequence < 14; sequence++) {
        a.Send(Request(hartip::kTokenPassingPdu, sequence, Frame(0, 0)));
    }
    b.Send(Request(hartip::kTokenPassingPdu, 20, Frame(1, 0)));
    std::vector<std::uint16_t> order;
    const auto deadline = Clock::now() + 20s;
    while (order.size() < 5 && Clock::now() < deadline) {
        pollfd p[2] = {{a.Fd(), POLLIN, 0}, {b.Fd(), POLLIN, 0}};
        if (poll(p, 2, Remaining(deadline)) <= 0) {
            break;
        }
        for (std::uint8_t i = 0; i < 2; i++) {
            if (p[i].revents & POLLIN) {
                /* Each peer hears only the answers of the device it asked. */
                Reply reply = Read(i == 0 ? a.Receive(0ms) : b.Receive(0ms));
                ExpectAnswerFrame(reply, reply.header.sequence, i);
                order.push_back(reply.header.sequence);
            }
        }
    }
    /* Queued first-come-first-served, b would wait for all four of a's. */
    EXPECT_EQ(order, (std::vector<std::uint16_t>{10, 11, 20, 12, 13}));
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, AWildcardEndpointAnswersFromTheAddressEachPeerAskedAt)
{
    Hartd hartd({"--listen", "COM1=0.0.0.0:0"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    /* All of 127/8 is this machine, and a connected socket takes answers only from the address it sent to. */
    Udp aside(hartd.Port(), 0x7F000002);
    EXPECT_EQ(Read(aside.Ask(Initiate(1))).header.status, 0);
    ExpectAnswerFrame(Read(aside.Ask(Request(hartip::kTokenPassingPdu, 2, Frame(0, 0)))), 2, 0);
    Udp usual(hartd.Port());
    EXPECT_EQ(Read(usual.Ask(Initiate(1))).header.status, 0);

    /* A peer that asks everyone is answered from this machine's own address, never from the broadcast one. */
    const int everyone = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(everyone, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    sockaddr_in broadcast = Loopback(hartd.Port());
    broadcast.sin_addr.s_addr = htonl(0x7FFFFFFF);
    const Bytes initiate = Initiate(1);
    sendto(everyone, initiate.data(), initiate.size(), 0, reinterpret_cast<sockaddr*>(&broadcast), sizeof(broadcast));
    pollfd ready{everyone, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 10000), 1) << "no answer to a broadcast";
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    Bytes answer(64);
    EXPECT_GE(recvfrom(everyone, answer.data(), answer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                       &fromLength),
              8);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    close(everyone);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, TcpMessagesAreFramedByTheirCountHoweverTheStreamCuts)
{
    Hartd hartd({"--stall-timeout-ms", "300", "--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Tcp client(hartd.Port());
    for (std::uint8_t byte : Initiate(1)) {
        client.Send(Bytes{byte});
    }
    EXPECT_EQ(Read(client.Receive()).header.status, 0);
    Bytes joined = Request(hartip::kTokenPassingPdu, 2, Frame(0, 0));
    const Bytes second = Request(hartip::kTokenPassingPdu, 3, Frame(1, 0));
    const Bytes third = Request(hartip::kKeepAlive, 4);
    joined.insert(joined.end(), second.begin(), second.end());
    joined.insert(joined.end(), third.begin(), third.begin() + 3);
    client.Send(joined);
    client.Send(Bytes(third.begin() + 3, third.end()));
    /* The keep-alive needs no line, so it is answered before the two frames. */
    EXPECT_EQ(Read(client.Receive()).header.id, hartip::kKeepAlive);
    ExpectAnswerFrame(Read(client.Receive()), 2, 0);
    ExpectAnswerFrame(Read(client.Receive()), 3, 1);

    Tcp half(hartd.Port());
    half.Send(Bytes{1, 0, 2});
    EXPECT_TRUE(half.ClosedByServer(5s)) << "half a header, then silence";

    Tcp silent(hartd.Port());
    EXPECT_TRUE(silent.ClosedByServer(5s)) << "a connection without a session";

    Tcp huge(hartd.Port());
    huge.Send(Bytes{1, 0, 3, 0, 0, 9, 0x10, 0x00});
    Reply nak = Read(huge.Receive());
    EXPECT_EQ(nak.header.type, hartip::kNak);
    EXPECT_EQ(nak.header.status, hartip::status::kTooLarge);
    EXPECT_EQ(nak.header.sequence, 9);
    EXPECT_TRUE(huge.ClosedByServer(5s)) << "where the next message starts is unknown";

    ExpectAnswerFrame(Read((client.Send(Request(hartip::kTokenPassingPdu, 5, Frame(0, 0))), client.Receive())), 5, 0);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, BadInputIsAnsweredClearlyAndTheServiceGoesOn)
{
    Hartd hartd({"--retries", "0"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp client(hartd.Port());
    EXPECT_EQ(Read(client.Ask(Initiate(1))).header.status, 0);

    Bytes badCheck = Frame(0, 0);
    badCheck.back() ^= 0xFF;
    Bytes wrongVersion = Request(hartip::kKeepAlive, 2);
    wrongVersion[0] = 2;
    Bytes shortCount = Request(hartip::kKeepAlive, 3);
    shortCount[7] = 4;
    Bytes longCount = Request(hartip::kKeepAlive, 4);
    longCount[7] = 12;
    Bytes unknownType = Request(hartip::kKeepAlive, 5);
    unknownType[1] = 9;
    const struct {
        const char* what;
        Bytes message;
        std::uint8_t type;
        std::uint8_t status;
    } cases[] = {
        {"wrong version", wrongVersion, hartip::kNak, 14},
        {"count below 8", shortCount, hartip::kNak, 5},
        {"count beyond the datagram", longCount, hartip::kNak, 5},
        {"unknown type", unknownType, hartip::kNak, 2},
        {"unknown ID", Request(77, 6), hartip::kNak, 2},
        {"bad check byte", Request(hartip::kTokenPassingPdu, 7, badCheck), hartip::kResponse, 2},
        {"an answer frame as request", Request(hartip::kTokenPassingPdu, 8, {0x06, 0x80, 0x00, 0x00, 0x86}),
         hartip::kResponse, 2},
        {"initiate without its body", Request(hartip::kSessionInitiate, 9, {1}), hartip::kResponse, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reply reply = Read(client.Ask(c.message));
        EXPECT_EQ(reply.header.type, c.type);
        EXPECT_EQ(reply.header.status, c.status);
        EXPECT_EQ(reply.header.sequence, hartip::ReadHeader(c.message)->sequence);
    }
    /* Not answered: a datagram too short to be a header, and a response. The next answer is the keep-alive's. */
    client.Send(Bytes{1, 0});
    client.Send(hartip::BuildMessage(hartip::kResponse, hartip::kKeepAlive, 0, 30));
    EXPECT_EQ(Read(client.Ask(Request(hartip::kKeepAlive, 31))).header.sequence, 31);

    /* A device that never answers gets an error once the retries are spent. */
    Reply silent = Read(client.Ask(Request(hartip::kTokenPassingPdu, 40, Frame(9, 0))));
    EXPECT_EQ(silent.header.type, hartip::kError);
    EXPECT_EQ(silent.header.status, hartip::status::kNoAnswer);
    EXPECT_EQ(silent.header.sequence, 40);
    ExpectAnswerFrame(Read(client.Ask(Request(hartip::kTokenPassingPdu, 41, Frame(0, 0)))), 41, 0);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, BurstFramesArePublishedToTheSessions)
{
    Hartd hartd({"--sim-burst"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp client(hartd.Port());
    EXPECT_EQ(Read(client.Ask(Initiate(1))).header.status, 0);
    Reply published = Read(client.Receive());
    EXPECT_EQ(published.header.type, hartip::kPublish);
    EXPECT_EQ(published.header.id, hartip::kTokenPassingPdu);
    ASSERT_FALSE(published.body.empty());
    EXPECT_EQ(published.body[0] & 0x07, 0x01) << "a burst frame";
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, StoppingWithRequestsInFlightEndsEveryOne)
{
    Hartd hartd({"--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp udp(hartd.Port());
    Tcp tcp(hartd.Port());
    EXPECT_EQ(Read(udp.Ask(Initiate(1))).header.status, 0);
    tcp.Send(Initiate(1));
    EXPECT_EQ(Read(tcp.Receive()).header.status, 0);
    for (std::uint16_t sequence = 10; sequence < 13; sequence++) {
        udp.Send(Request(hartip::kTokenPassingPdu, sequence, Frame(0, 0)));
        tcp.Send(Request(hartip::kTokenPassingPdu, sequence, Frame(1, 0)));
    }
    /* The first answer says the line is busy with the rest. */
    ExpectAnswerFrame(Read(udp.Receive()), 10, 0);
    const int status = hartd.Stop();
    auto ended = [](auto& socket, std::vector<std::uint16_t> sequences) {
        while (auto message = socket.Receive(1000ms)) {
            Reply reply = Read(message);
            EXPECT_TRUE(reply.header.type == hartip::kResponse ||
                        (reply.header.type == hartip::kError && reply.header.status == hartip::status::kShuttingDown));
            sequences.push_back(reply.header.sequence);
        }
        std::sort(sequences.begin(), sequences.end());
        return sequences;
    };
    EXPECT_EQ(ended(udp, {10}), (std::vector<std::uint16_t>{10, 11, 12}));
    EXPECT_EQ(ended(tcp, {}), (std::vector<std::uint16_t>{10, 11, 12}));
    EXPECT_EQ(status, 0) << hartd.Log();
    EXPECT_NE(hartd.Log().find("closed (tcp"), std::string::npos) << hartd.Log();
    EXPECT_NE(hartd.Log().find("0 framework objects left"), std::string::npos) << hartd.Log();
}

TEST(HartdTest, APseudoTerminalGoesAwayAndComesBack)
{
    /* Served through a link, as udev's names are: the link outlives the terminal it points to. */
    char directory[] = "/tmp/hartd-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/modem";
    auto first = std::make_unique<tools::PtyLine>(1);
    ASSERT_EQ(symlink(first->Path().c_str(), link.c_str()), 0);
    Hartd hartd({"--tty", link}, false);
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp client(hartd.Port());
    EXPECT_EQ(Read(client.Ask(Initiate(1))).header.status, 0);
    ExpectAnswerFrame(Read(client.Ask(Request(hartip::kTokenPassingPdu, 2, Frame(0, 0)))), 2, 0);

    first->HangUp();
    EXPECT_TRUE(hartd.WaitFor("COM1 is unavailable")) << hartd.Log();
    Reply gone = Read(client.Ask(Request(hartip::kTokenPassingPdu, 3, Frame(0, 0))));
    EXPECT_EQ(gone.header.type, hartip::kError);
    EXPECT_EQ(gone.header.status, hartip::status::kPortUnavailable);
    EXPECT_EQ(Read(client.Ask(Request(hartip::kKeepAlive, 4))).header.status, 0) << "the session outlives its port";

    tools::PtyLine second(1);
    unlink(link.c_str());
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    EXPECT_TRUE(hartd.WaitFor("COM1 is back")) << hartd.Log();
    ExpectAnswerFrame(Read(client.Ask(Request(hartip::kTokenPassingPdu, 5, Frame(0, 0)))), 5, 0);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
    EXPECT_NE(hartd.Log().find("0 framework objects left"), std::string::npos) << hartd.Log();
    unlink(link.c_str());
    rmdir(directory);
}

TEST(HartdTest, BusyAndDelayedAnswersReachTheClientWhichAsksAgain)
{
    tools::PtyLine line(1);
    line.Call([&] {
        auto& slow = line.Device(0).Config().slowCommands;
        slow[1].busyAnswers = 2;
        slow[3].delayedResponse = true;
        slow[3].delay = std::chrono::duration_cast<sim::Ticks>(1500ms);
    });
    Hartd hartd({"--tty", line.Path()}, false);
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();

    /* The server hands a busy answer over as it is: repeating is the client's choice. */
    Udp client(hartd.Port());
    EXPECT_EQ(Read(client.Ask(Initiate(1))).header.status, 0);
    Reply identity = Read(client.Ask(Request(hartip::kTokenPassingPdu, 2, Frame(0, 0))));
    ASSERT_GE(identity.body.size(), 18u);
    /* A revision-7 device takes other commands only at its long address: device type and ID. */
    Bytes longFrame{0x82, static_cast<std::uint8_t>(0x80 | (identity.body[7] & 0x3F)), identity.body[8],
                    identity.body[15], identity.body[16], identity.body[17], 1, 0};
    longFrame.push_back(std::accumulate(longFrame.begin(), longFrame.end(), std::uint8_t{0},
                                        [](std::uint8_t check, std::uint8_t b) { return static_cast<std::uint8_t>(check ^ b); }));
    Reply busy = Read(client.Ask(Request(hartip::kTokenPassingPdu, 3, longFrame)));
    EXPECT_EQ(busy.header.status, 0);
    ASSERT_GE(busy.body.size(), 11u);
    EXPECT_EQ(busy.body[6], 1);
    EXPECT_EQ(busy.body[8], 32) << "device busy";

    const std::string where = "--hart-ip 127.0.0.1:" + std::to_string(hartd.Port());
    ExpectHartctl(where + " send 1 -a 0", 0, {"busy     repeated 1 time after: device is busy"});
    ExpectHartctl(where + " --tcp send 3 -a 0", 0, {"delayed response initiated", "command 3: success"});
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

TEST(HartdTest, HartctlTalksToItOverUdpAndTcp)
{
    Hartd hartd({"--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    const std::string where = "--hart-ip 127.0.0.1:" + std::to_string(hartd.Port());
    ExpectHartctl(where + " identify --last 1", 0, {"TT-100", "TT-101"});
    ExpectHartctl(where + " --tcp send 1 -a 1", 0, {"ACK from 26 06 10 00 01, command 1: success"});
    /* The same road as on the driver: a name, a tag to find first, and command 31 around a command above 255. */
    ExpectHartctl(where + " send read-primary-variable -t TT-101", 0, {"ACK from 26 06 10 00 01, command 1: success"});
    ExpectHartctl(where + " --tcp send 1024 -a 1", 0, {"command 1024: success"});
    ExpectHartctl(where + " send 0 -a 9", 1, {"STATUS_TRANSACTION_TIMED_OUT"});
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

} // namespace
