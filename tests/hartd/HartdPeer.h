/*
 * What the hartd tests need to be its peers: the service in a process of its
 * own, client sockets on loopback, and the checks every answer gets.
 */
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
#include "sim/HartFrame.h"

namespace hartd_test {

using hartip::Bytes;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWait = 10s;

inline Bytes Frame(std::uint8_t polling, std::uint8_t command)
{
    Bytes frame{0x02, static_cast<std::uint8_t>(0x80 | polling), command, 0x00};
    frame.push_back(sim::CheckByte(frame));
    return frame;
}

inline Bytes Request(std::uint8_t id, std::uint16_t sequence, const Bytes& body = {})
{
    return hartip::BuildMessage(hartip::kRequest, id, 0, sequence, body);
}

inline Bytes Initiate(std::uint16_t sequence, std::uint32_t inactivityMs = 60000, std::uint8_t master = 1)
{
    return Request(hartip::kSessionInitiate, sequence, hartip::InitiateBodyBytes({master, inactivityMs}));
}

inline int Remaining(Clock::time_point deadline)
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
        if (std::find(args.begin(), args.end(), "--listen") == args.end()) {
            args.insert(args.begin(), {"--listen", "COM1=127.0.0.1:0"});
        }
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
        const std::size_t at = ready.find("on udp ");
        const std::size_t end = ready.find(" and tcp", at);
        const std::size_t colon = end != std::string::npos ? ready.rfind(':', end) : std::string::npos;
        if (at != std::string::npos && colon != std::string::npos && colon > at) {
            port_ = static_cast<std::uint16_t>(std::stoi(ready.substr(colon + 1)));
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

/* The port the kernel gave a client socket. */
inline std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

inline sockaddr_in Loopback(std::uint16_t port)
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
    explicit Udp(std::uint16_t port, in_addr_t host = INADDR_LOOPBACK) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = Loopback(port);
        address.sin_addr.s_addr = htonl(host);
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

inline Reply Read(const std::optional<Bytes>& message)
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
inline void ExpectAnswerFrame(const Reply& reply, std::uint16_t sequence, std::uint8_t polling)
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

/* A command's output (stdout and stderr) and exit status. */
inline std::pair<std::string, int> RunCommand(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string output;
    std::array<char, 512> buffer{};
    while (pipe != nullptr && std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        output += buffer.data();
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

/* hartctl's output and exit status, run against the service. */
inline std::pair<std::string, int> RunHartctl(const std::string& arguments)
{
    return RunCommand(std::string(HARTCTL_PATH) + " " + arguments);
}

} // namespace hartd_test
