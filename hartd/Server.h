/*
 * The HART-IP server: endpoints (a UDP socket and a TCP listener on one
 * address and port, serving one port device), their sessions, and for each
 * port device the line its requests take one at a time.
 *
 * One thread does everything. The sockets are watched by the host's own
 * dispatcher, whose loop runs until something needs the server (a socket is
 * ready, a request to a port device completed, a timer is due); the server
 * then does its work between runs, so every call into the driver is made by
 * the thread that owns the host, outside any driver callback.
 */
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <sys/socket.h>

#include <platform/IoManager.h>

#include "Datagram.h"
#include "HartIp.h"
#include "Options.h"
#include "RoundRobin.h"
#include "Sessions.h"
#include "Station.h"
#include "app/Frame.h"

namespace hartd {

class Server {
public:
    Server(Station& station, const Options& options, std::ostream& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /* Opens the port devices and binds the endpoints; a sentence on failure. */
    std::optional<std::string> Start();
    /* Serves until signalFd (a signalfd, or any descriptor that turns readable) says stop, then stops:
       requests on the line finish, waiting ones are answered, sessions are
       closed and the port devices with them. */
    void Run(int signalFd);

    /* Where the endpoints listen ("127.0.0.1:5094"), in --listen order. */
    std::vector<std::string> Bound() const;

    /* The server's own time per line transaction: receiving, checking and
       queueing the request, writing it to the port device, and sending the
       answer once the port device has it. The line's time and the time a
       request waits for other sessions' transactions are not in it. */
    struct Figures {
        std::uint64_t transactions = 0;
        double p50Us = 0;
        double p99Us = 0;
        double maxUs = 0;
    };
    Figures OwnTime() const;

private:
    struct Route {
        bool tcp = false;
        sockaddr_storage address{};
        socklen_t length = 0;
        std::uint64_t connection = 0;
        LocalAddress local;
    };

    struct Job {
        std::size_t endpoint = 0;
        SessionId session = 0;
        std::uint16_t sequence = 0;
        hartip::Bytes frame; /* as it goes to the line, without preambles */
        hart::Request match;
        Time received{0};
        /* The server's own time spent on it so far. */
        std::chrono::nanoseconds own{0};
    };

    struct InFlight {
        Job job;
        platform::PendingIo write;
        bool writeDone = false;
        NTSTATUS writeStatus = 0;
        std::optional<hartip::Bytes> answer;
        bool corrupt = false;
        Time graceUntil{0};
    };

    struct Line {
        std::string comName;
        platform::File file;
        bool up = false;
        RoundRobin<Job> queue;
        platform::PendingIo read;
        std::optional<InFlight> current;
        std::vector<std::size_t> endpoints;
        SessionId nextSession = 1;
        Time retryOpenAt{0};
        explicit Line(std::size_t depth) : queue(depth) {}
    };

    struct Endpoint {
        Listen listen;
        std::string where; /* "127.0.0.1:5094" */
        int udp = -1;
        int tcp = -1;
        std::size_t line = 0;
        std::unique_ptr<SessionTable> sessions;
        std::map<SessionId, Route> routes;
        std::map<SessionId, std::uint16_t> publishSequence;
        std::map<SessionId, bool> toldMasterMismatch;
    };

    struct Connection {
        std::uint64_t id = 0;
        int fd = -1;
        std::size_t endpoint = 0;
        std::string peer;
        sockaddr_storage address{};
        socklen_t length = 0;
        hartip::StreamFramer framer;
        hartip::Bytes out;
        std::optional<SessionId> session;
        Time openedAt{0};
        std::optional<Time> partialSince;
        bool closing = false;
        bool watchingOut = false;
    };

    enum class Source { Signal, Udp, Listener, Connection };
    struct Ready {
        Source source;
        std::uint64_t id;
        std::uint32_t events;
    };

    Time Now() const;
    bool Wanted() const;

    std::optional<std::string> OpenLine(Line& line);
    std::optional<std::string> Bind(Endpoint& endpoint);
    void Watch(int fd, std::uint32_t events, Source source, std::uint64_t id);

    void TakeReady();
    void ReadSignals();
    void ReadDatagrams(std::size_t endpoint);
    void Accept(std::size_t endpoint);
    void ReadConnection(std::uint64_t id);
    void FlushConnection(Connection& connection);
    void CloseConnection(std::uint64_t id, const char* why);

    void Handle(std::size_t endpoint, const Route& route, const std::string& peer, std::span<const std::uint8_t> message,
                Connection* connection);
    void Initiate(std::size_t endpoint, const Route& route, const std::string& peer, const hartip::Header& header,
                  std::span<const std::uint8_t> body, Connection* connection);
    void TokenPassing(std::size_t endpoint, Session& session, const hartip::Header& header,
                      std::span<const std::uint8_t> frame);
    void CloseSession(std::size_t endpoint, SessionId id, const std::string& why);

    void SendTo(std::size_t endpoint, const Route& route, const hartip::Bytes& message);
    void Reply(std::size_t endpoint, SessionId session, const hartip::Bytes& message);
    void Publish(Line& line, const hartip::Bytes& frame);

    void ServiceLines();
    void ServiceLine(Line& line);
    void TakeRead(Line& line, const platform::IoResult& result);
    void StartNext(Line& line);
    void Finish(Line& line, std::uint8_t type, std::uint8_t status, std::span<const std::uint8_t> body);
    void LineDown(Line& line, const std::string& why);
    void Timers();
    std::optional<Time> NextDue() const;

    void BeginStop();
    void FinishStop();

    /* Bad input is logged, but a flood of it must not flood the log. */
    void LogBad(const std::string& where, const std::string& peer, const std::string& what);

    Station& station_;
    Options options_;
    std::ostream& log_;
    std::vector<std::unique_ptr<Line>> lines_;
    std::vector<Endpoint> endpoints_;
    std::map<std::uint64_t, Connection> connections_;
    std::uint64_t nextConnection_ = 1;
    std::vector<Ready> ready_;
    int signalFd_ = -1;
    unsigned signals_ = 0;
    bool stopping_ = false;
    /* When the message being handled arrived, and when the lines' service began. */
    std::chrono::steady_clock::time_point arrived_;
    std::chrono::steady_clock::time_point serviceStart_;
    /* Own time per transaction in 2 us steps; the last bucket takes everything longer. */
    std::vector<std::uint32_t> ownTimes_ = std::vector<std::uint32_t>(10000, 0);
    std::uint64_t ownCount_ = 0;
    std::chrono::nanoseconds ownMax_{0};
    Time logWindow_{0};
    unsigned logged_ = 0;
    unsigned suppressed_ = 0;
};

} // namespace hartd
