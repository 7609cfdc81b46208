/*
 * hartd as a peer sees it: the service started with --sim on loopback, and
 * clients on UDP and TCP sockets. Waits are bounded waits on sockets and on
 * the service's log, never sleeps.
 */
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HartIp.h"
#include "PtyLine.h"

namespace {

using hartip::Bytes;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWait = 10s;

Bytes Frame(std::uint8_t polling, std::uint8_t command)
{
    Bytes frame{0x02, static_cast<std::uint8_t>(0x80 | polling), command, 0x00};
    std::uint8_t check = 0;
    for (std::uint8_t b : frame) {
        check ^= b;
    }
    frame.push_back(check);
    return frame;
}

Bytes Request(std::uint8_t id, std::uint16_t sequence, const Bytes& body = {})
{
    return hartip::BuildMessage(hartip::kRequest, id, 0, sequence, body);
}

Bytes Initiate(std::uint16_t sequence, std::uint32_t inactivityMs = 60000, std::uint8_t master = 1)
{
    return Request(hartip::kSessionInitiate, sequence, hartip::InitiateBodyBytes({master, inactivityMs}));
}

int Remaining(Clock::time_point deadline)
{
    return static_cast<int>(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

/*
 * The service in a process of its own. Its log is read all the time by a
 * thread of the test, so that a full pipe can never hold the service up
 * while the test waits on a socket.
 */
class Hartd {
public:
    /* On the simulated line unless the arguments name terminals. */
    explicit Hartd(std::vector<std::string> args, bool sim = true)
    {
        int pipeFds[2];
        EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        args.insert(args.begin(), {"--listen", "COM1=127.0.0.1:0"});
        if (sim) {
            args.insert(args.begin(), "--sim");
        }
        args.insert(args.begin(), HARTD_PATH);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], 2);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        log_ = pipeFds[0];
        reader_ = std::thread([this] {
            char buffer[4096];
            for (;;) {
                const ssize_t got = read(log_, buffer, sizeof(buffer));
                std::lock_guard lock(mutex_);
                if (got <= 0) {
                    ended_ = true;
                    changed_.notify_all();
                    return;
                }
                text_.append(buffer, static_cast<std::size_t>(got));
                changed_.notify_all();
            }
        });
        const std::string ready = WaitFor("hartd: ready", 20s) ? Log() : "";
        const std::size_t at = ready.find("on udp 127.0.0.1:");
        if (at != std::string::npos) {
            port_ = static_cast<std::uint16_t>(std::stoi(ready.substr(at + 17)));
        }
    }

    ~Hartd()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        reader_.join();
        close(log_);
    }

    std::uint16_t Port() const { return port_; }
    std::string Log()
    {
        std::lock_guard lock(mutex_);
        return text_;
    }

    /* True once the log holds text; false when the time ran out or the service ended first. */
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = 5000ms)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return ended_ || text_.find(text) != std::string::npos; });
        return text_.find(text) != std::string::npos;
    }

    /* SIGTERM, then the exit status once the log closes. */
    int Stop(std::chrono::milliseconds limit = 20000ms)
    {
        kill(pid_, SIGTERM);
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, limit, [&] { return ended_; });
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int log_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool ended_ = false;
    std::uint16_t port_ = 0;
    bool exited_ = false;
};

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/* A connected socket: it takes datagrams only from the port it sent to. */
class Udp {
public:
    explicit Udp(std::uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = Loopback(port);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    ~Udp() { close(fd_); }
    int Fd() const { return fd_; }
    void Send(const Bytes& message) { EXPECT_EQ(send(fd_, message.data(), message.size(), 0), static_cast<ssize_t>(message.size())); }
    std::optional<Bytes> Receive(std::chrono::milliseconds limit = kAnswerWait)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            return std::nullopt;
        }
        Bytes buffer(1024);
        const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
        if (got < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(got));
        return buffer;
    }
    std::optional<Bytes> Ask(const Bytes& message)
    {
        Send(message);
        return Receive();
    }

private:
    int fd_;
};

class Tcp {
public:
    explicit Tcp(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = Loopback(port);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~Tcp() { close(fd_); }
    int Fd() const { return fd_; }
    void Send(const Bytes& bytes) { EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    /* One whole message; nullopt on time-out or when the server closed. */
    std::optional<Bytes> Receive(std::chrono::milliseconds limit = kAnswerWait)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (auto header = hartip::ReadHeader(buffer_); header && buffer_.size() >= header->byteCount) {
                Bytes message(buffer_.begin(), buffer_.begin() + header->byteCount);
                buffer_.erase(buffer_.begin(), buffer_.begin() + header->byteCount);
                return message;
            }
            if (!Fill(deadline)) {
                return std::nullopt;
            }
        }
    }
    /* True when the server closed the connection in time. */
    bool ClosedByServer(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (Fill(deadline)) {
        }
        return closed_;
    }

private:
    bool Fill(Clock::time_point deadline)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, Remaining(deadline)) <= 0) {
            return false;
        }
        std::uint8_t chunk[1024];
        const ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.insert(buffer_.end(), chunk, chunk + got);
        return true;
    }

    int fd_;
    Bytes buffer_;
    bool closed_ = false;
};

struct Reply {
    hartip::Header header;
    Bytes body;
};

Reply Read(const std::optional<Bytes>& message)
{
    Reply reply;
    if (!message) {
        ADD_FAILURE() << "no answer";
        return reply;
    }
    reply.header = hartip::ReadHeader(*message).value_or(hartip::Header{});
    EXPECT_EQ(reply.header.byteCount, message->size());
    reply.body.assign(message->begin() + std::min<std::size_t>(8, message->size()), message->end());
    return reply;
}

/* Command 0's answer from the device at that polling address. */
void ExpectAnswerFrame(const Reply& reply, std::uint16_t sequence, std::uint8_t polling)
{
    EXPECT_EQ(reply.header.type, hartip::kResponse);
    EXPECT_EQ(reply.header.id, hartip::kTokenPassingPdu);
    EXPECT_EQ(reply.header.status, 0);
    EXPECT_EQ(reply.header.sequence, sequence);
    ASSERT_GE(reply.body.size(), 6u);
    EXPECT_EQ(reply.body[0] & 0x07, 0x06) << "an answer frame, without preambles";
    EXPECT_EQ(reply.body[1] & 0x3F, polling);
    EXPECT_EQ(reply.body[2], 0);
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

TEST(HartdTest, UdpSessionsAreKeptApartByPeerAndLimitedInNumber)
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

    a.Send(Request(hartip::kTokenPassingPdu, 10, Frame(0, 0)));
    b.Send(Request(hartip::kTokenPassingPdu, 20, Frame(1, 0)));
    ExpectAnswerFrame(Read(a.Receive()), 10, 0);
    ExpectAnswerFrame(Read(b.Receive()), 20, 1);
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

TEST(HartdTest, TwoSessionsOnOnePortTakeTurnsOnTheLine)
{
    Hartd hartd({"--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    Udp a(hartd.Port());
    Udp b(hartd.Port());
    EXPECT_EQ(Read(a.Ask(Initiate(1))).header.status, 0);
    EXPECT_EQ(Read(b.Ask(Initiate(1))).header.status, 0);
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
        for (int i = 0; i < 2; i++) {
            if (p[i].revents & POLLIN) {
                Reply reply = Read(i == 0 ? a.Receive(0ms) : b.Receive(0ms));
                EXPECT_EQ(reply.header.status, 0);
                order.push_back(reply.header.sequence);
            }
        }
    }
    /* Queued first-come-first-served, b would wait for all four of a's. */
    EXPECT_EQ(order, (std::vector<std::uint16_t>{10, 11, 20, 12, 13}));
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
    std::vector<std::uint16_t> udpEnded{10};
    std::vector<std::uint16_t> tcpEnded;
    while (auto message = udp.Receive(1000ms)) {
        Reply reply = Read(message);
        EXPECT_TRUE(reply.header.type == hartip::kResponse ||
                    (reply.header.type == hartip::kError && reply.header.status == hartip::status::kShuttingDown));
        udpEnded.push_back(reply.header.sequence);
    }
    while (auto message = tcp.Receive(1000ms)) {
        Reply reply = Read(message);
        EXPECT_TRUE(reply.header.type == hartip::kResponse ||
                    (reply.header.type == hartip::kError && reply.header.status == hartip::status::kShuttingDown));
        tcpEnded.push_back(reply.header.sequence);
    }
    std::sort(udpEnded.begin(), udpEnded.end());
    std::sort(tcpEnded.begin(), tcpEnded.end());
    EXPECT_EQ(udpEnded, (std::vector<std::uint16_t>{10, 11, 12}));
    EXPECT_EQ(tcpEnded, (std::vector<std::uint16_t>{10, 11, 12}));
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

/* hartctl's output and exit status, run against the service. */
std::pair<std::string, int> RunHartctl(const std::string& arguments)
{
    const std::string command = std::string(HARTCTL_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        output += buffer.data();
    }
    const int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(HartdTest, HartctlTalksToItOverUdpAndTcp)
{
    Hartd hartd({"--sim-devices", "2"});
    ASSERT_NE(hartd.Port(), 0) << hartd.Log();
    const std::string where = "--hart-ip 127.0.0.1:" + std::to_string(hartd.Port());
    auto [identified, identifyStatus] = RunHartctl(where + " identify --last 1");
    EXPECT_EQ(identifyStatus, 0) << identified;
    EXPECT_NE(identified.find("TT-100"), std::string::npos) << identified;
    EXPECT_NE(identified.find("TT-101"), std::string::npos) << identified;
    auto [sent, sendStatus] = RunHartctl(where + " --tcp send 1 -a 1");
    EXPECT_EQ(sendStatus, 0) << sent;
    EXPECT_NE(sent.find("ACK from 26 06 10 00 01, command 1: success"), std::string::npos) << sent;
    /* The same road as on the driver: a name, a tag to find first, and command 31 around a command above 255. */
    auto [named, namedStatus] = RunHartctl(where + " send read-primary-variable -t TT-101");
    EXPECT_EQ(namedStatus, 0) << named;
    EXPECT_NE(named.find("ACK from 26 06 10 00 01, command 1: success"), std::string::npos) << named;
    auto [expanded, expandedStatus] = RunHartctl(where + " --tcp send 1024 -a 1");
    EXPECT_EQ(expandedStatus, 0) << expanded;
    EXPECT_NE(expanded.find("command 1024: success"), std::string::npos) << expanded;
    auto [silent, silentStatus] = RunHartctl(where + " send 0 -a 9");
    EXPECT_EQ(silentStatus, 1) << silent;
    EXPECT_NE(silent.find("STATUS_TRANSACTION_TIMED_OUT"), std::string::npos) << silent;
    EXPECT_EQ(hartd.Stop(), 0) << hartd.Log();
}

} // namespace
