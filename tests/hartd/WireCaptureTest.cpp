/*
 * A test session with hartd, written to a capture file and read by tshark,
 * whose own HART-IP decoder is the judge: every message the clients and the
 * service exchanged must be found where it was sent, and none may be
 * malformed or carry an error of the decoder's.
 */
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Capture.h"
#include "HartdPeer.h"

namespace {

using namespace hartd_test;

/* A UDP client whose every datagram, out and in, goes into the capture. */
class CapturedUdp {
public:
    CapturedUdp(std::uint16_t port, Capture& capture) : socket_(port), capture_(capture), own_(LocalPort(socket_.Fd())) {}

    /* Sends, then records everything until the answer with that sequence number; publishes come between. */
    Reply Ask(const Bytes& message)
    {
        socket_.Send(message);
        capture_.Udp(own_, true, message);
        const std::uint16_t sequence = hartip::ReadHeader(message)->sequence;
        for (;;) {
            std::optional<Bytes> answer = socket_.Receive();
            if (!answer) {
                return Read(answer);
            }
            capture_.Udp(own_, false, *answer);
            ++received_;
            Reply reply = Read(answer);
            if (reply.header.type != hartip::kPublish && reply.header.sequence == sequence) {
                return reply;
            }
            if (reply.header.type == hartip::kPublish) {
                ++published_;
            }
        }
    }
    int Published() const { return published_; }
    std::size_t Received() const { return received_; }

private:
    Udp socket_;
    Capture& capture_;
    std::uint16_t own_;
    int published_ = 0;
    std::size_t received_ = 0;
};

/* The decoder's lines for a field, one per packet that has it. */
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.find("Running as user") == std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(HartdWireTest, TsharkDecodesACapturedSessionWithNothingMalformed)
{
    Hartd hartd({"--sim-burst", "--sim-devices", "2", "--retries", "0"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Capture capture(hartd.Port());

    CapturedUdp udp(hartd.Port(), capture);
    Bytes badCheck = Frame(1, 0);
    badCheck.back() ^= 0xFF;
    Bytes preambled(5, 0xFF);
    const Bytes identify = Frame(1, 0);
    preambled.insert(preambled.end(), identify.begin(), identify.end());
    Bytes wrongVersion = Request(hartip::kKeepAlive, 6);
    wrongVersion[0] = 2;
    const std::vector<Bytes> udpRequests = {
        Initiate(1),
        Request(hartip::kKeepAlive, 2),
        Request(hartip::kTokenPassingPdu, 3, Frame(1, 0)),
        Request(hartip::kTokenPassingPdu, 4, preambled),
        Request(hartip::kTokenPassingPdu, 5, badCheck),
        wrongVersion,
        Request(hartip::kTokenPassingPdu, 7, Frame(9, 0)),
        Request(hartip::kSessionClose, 8),
    };
    for (const Bytes& request : udpRequests) {
        Reply reply = udp.Ask(request);
        EXPECT_EQ(reply.header.sequence, hartip::ReadHeader(request)->sequence);
        if (reply.header.sequence == 4) {
            /* Sent behind preambles, as some clients do: answered like any other. */
            ExpectAnswerFrame(reply, 4, 1);
        }
    }
    EXPECT_GT(udp.Published(), 0) << "the burst device published nothing while the session ran";

    /* TCP: a message in two pieces, then two messages in one segment. */
    Tcp tcp(hartd.Port());
    const std::uint16_t tcpPort = LocalPort(tcp.Fd());
    capture.TcpOpen(tcpPort);
    const Bytes initiate = Initiate(20);
    const Bytes head(initiate.begin(), initiate.begin() + 5);
    const Bytes tail(initiate.begin() + 5, initiate.end());
    tcp.Send(head);
    capture.Tcp(tcpPort, true, head);
    tcp.Send(tail);
    capture.Tcp(tcpPort, true, tail);
    Bytes joined = Request(hartip::kTokenPassingPdu, 21, Frame(1, 0));
    const Bytes keepAlive = Request(hartip::kKeepAlive, 22);
    joined.insert(joined.end(), keepAlive.begin(), keepAlive.end());
    std::vector<std::uint16_t> tcpAnswered;
    std::size_t tcpReceived = 0;
    for (int answers = 0; answers < 3; answers++) {
        if (answers == 1) {
            tcp.Send(joined);
            capture.Tcp(tcpPort, true, joined);
        }
        std::optional<Bytes> answer = tcp.Receive();
        ASSERT_TRUE(answer) << "TCP answer " << answers;
        capture.Tcp(tcpPort, false, *answer);
        ++tcpReceived;
        const Reply reply = Read(answer);
        if (reply.header.type == hartip::kPublish) {
            answers--;
            continue;
        }
        tcpAnswered.push_back(reply.header.sequence);
    }
    std::sort(tcpAnswered.begin(), tcpAnswered.end());
    EXPECT_EQ(tcpAnswered, (std::vector<std::uint16_t>{20, 21, 22}));
    capture.TcpClose(tcpPort);
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();

    char path[] = "/tmp/hartd-capture-XXXXXX.pcap";
    const int fd = mkstemps(path, 5);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(capture.Write(path));
    const std::string port = std::to_string(hartd.Port());
    const std::string read = "tshark -n -r " + std::string(path) + " -d udp.port==" + port + ",hart_ip -d tcp.port==" +
                             port + ",hart_ip";

    auto [flagged, flaggedStatus] =
        RunCommand(read + " -Y '_ws.malformed || _ws.expert.severity >= \"Error\"' -T fields -e frame.number");
    EXPECT_EQ(flaggedStatus, 0) << "tshark could not read the capture (is it installed?): " << flagged;
    EXPECT_TRUE(Lines(flagged).empty()) << "packets tshark finds malformed: " << flagged
                                        << RunCommand(read + " -V").first;

    /* Every message is decoded as one, the TCP pieces joined and the joined pair split. */
    auto [decoded, decodedStatus] = RunCommand(read + " -Y hart_ip -T fields -e hart_ip.message_type -e hart_ip.transaction_id");
    EXPECT_EQ(decodedStatus, 0) << decoded;
    std::size_t requests = 0;
    std::size_t answers = 0;
    for (const std::string& line : Lines(decoded)) {
        /* A packet with two messages lists both, comma-separated. */
        std::istringstream types(line.substr(0, line.find('\t')));
        for (std::string type; std::getline(types, type, ',');) {
            (type == "0" ? requests : answers)++;
        }
    }
    EXPECT_EQ(requests, udpRequests.size() + 3) << decoded;
    EXPECT_EQ(answers, udp.Received() + tcpReceived) << decoded;
    unlink(path);
}

} // namespace
