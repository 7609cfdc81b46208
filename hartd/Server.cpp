#include "Server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "port/HartIoctl.h"

namespace hartd {

namespace {

using hartip::Bytes;

/* Room for the longest frame a port device hands back. */
constexpr std::size_t kFrameBuffer = 300;
/* How long an answer may trail the completion of its write before it counts as lost. */
constexpr Time kAnswerGrace = std::chrono::milliseconds(500);
/* A port device that went away is looked for again this often. */
constexpr Time kReopenPeriod = std::chrono::seconds(1);
/* Bytes a TCP peer may leave unread before it is dropped as too slow. */
constexpr std::size_t kMaxOutput = 32 * 1024;
/* Connections per endpoint beyond its sessions: room for peers on their way to an initiate. */
constexpr std::size_t kSpareConnections = 8;
/* Work done for one socket per wake-up, so that one busy peer cannot hold the loop. */
constexpr int kReadsPerWake = 32;
/* Lines of bad input logged per second; the rest are counted. */
constexpr unsigned kLogLinesPerSecond = 10;
/* How long the loop sleeps at most when nothing is due, to look at the ports again. */
constexpr Time kIdleWake = std::chrono::seconds(1);

std::string AddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
        return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    return text;
}

void SetPort(sockaddr_storage& address, std::uint16_t port)
{
    if (address.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    }
}

hart::Request MatchFor(std::span<const std::uint8_t> frame, bool primary)
{
    /* The frame passed CheckRequestFrame: its header is whole. */
    hart::Request request;
    request.primaryMaster = primary;
    const bool isLong = (frame[0] & 0x80) != 0;
    const std::size_t expansion = (frame[0] >> 5) & 0x03;
    if (isLong) {
        std::array<std::uint8_t, 5> id{};
        std::copy(frame.begin() + 1, frame.begin() + 6, id.begin());
        request.address = hart::Address::Long(id);
    } else {
        request.address = hart::Address::Polling(frame[1] & 0x3F);
    }
    const std::size_t commandAt = 1 + (isLong ? 5 : 1) + expansion;
    request.command = frame[commandAt];
    const std::size_t count = frame[commandAt + 1];
    request.data.assign(frame.begin() + static_cast<long>(commandAt + 2),
                        frame.begin() + static_cast<long>(commandAt + 2 + count));
    return request;
}

} // namespace

Server::Server(Station& station, const Options& options, std::ostream& log)
    : station_(station), options_(options), log_(log)
{
}

Server::~Server()
{
    for (auto& [id, connection] : connections_) {
        close(connection.fd);
    }
    for (Endpoint& endpoint : endpoints_) {
        if (endpoint.udp >= 0) {
            close(endpoint.udp);
        }
        if (endpoint.tcp >= 0) {
            close(endpoint.tcp);
        }
    }
}

Time Server::Now() const
{
    return std::chrono::duration_cast<Time>(station_.Host().Now());
}

std::optional<std::string> Server::Start()
{
    const std::vector<PortEntry> ports = station_.Ports();
    if (ports.empty()) {
        return std::string("there is no serial port to serve: give one with --tty PATH, or try --sim");
    }
    endpoints_.reserve(options_.listens.size());
    for (const Listen& listen : options_.listens) {
        const std::string comName = listen.comName.empty() ? ports.front().comName : listen.comName;
        if (std::none_of(ports.begin(), ports.end(), [&](const PortEntry& p) { return p.comName == comName; })) {
            return "there is no port " + comName + " in the device map";
        }
        auto line = std::find_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l->comName == comName; });
        if (line == lines_.end()) {
            lines_.push_back(std::make_unique<Line>(options_.queueDepth));
            lines_.back()->comName = comName;
            if (auto failure = OpenLine(*lines_.back())) {
                return failure;
            }
            line = lines_.end() - 1;
        }
        Endpoint endpoint;
        endpoint.listen = listen;
        endpoint.listen.comName = comName;
        endpoint.line = static_cast<std::size_t>(line - lines_.begin());
        endpoint.sessions = std::make_unique<SessionTable>(options_.maxSessions, options_.bounds, &(*line)->nextSession);
        endpoints_.push_back(std::move(endpoint));
        (*line)->endpoints.push_back(endpoints_.size() - 1);
        if (auto failure = Bind(endpoints_.back())) {
            return failure;
        }
        const std::size_t index = endpoints_.size() - 1;
        Watch(endpoints_.back().udp, EPOLLIN, Source::Udp, index);
        Watch(endpoints_.back().tcp, EPOLLIN, Source::Listener, index);
        log_ << "hartd: " << comName << " on udp " << endpoints_.back().where << " and tcp " << endpoints_.back().where
             << std::endl;
    }
    return std::nullopt;
}

std::optional<std::string> Server::OpenLine(Line& line)
{
    if (auto failure = station_.OpenPort(line.comName, line.file)) {
        return failure;
    }
    platform::IoResult got = line.file.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4);
    if (!got.Succeeded() || got.data.size() < sizeof(HART_PROTOCOL_SETTINGS)) {
        line.file.Close();
        return "could not read the protocol settings of " + line.comName;
    }
    HART_PROTOCOL_SETTINGS settings{};
    std::memcpy(&settings, got.data.data(), sizeof(settings));
    settings.StateMachineMode = 0;
    settings.MasterType = options_.primary ? 0x80 : 0x00;
    settings.RetryCount = static_cast<std::uint8_t>(options_.retries);
    Bytes input(sizeof(settings));
    std::memcpy(input.data(), &settings, sizeof(settings));
    /* Answers to this master, and every burst frame heard, whichever master it names. */
    const Bytes mask{HART_RCV_MASK_ACK | HART_RCV_MASK_BACK | HART_RCV_MASK_OTHER_BACK};
    if (!line.file.DeviceControl(IOCTL_HART_SET_PROTOCOL, input, 0).Succeeded() ||
        !line.file.DeviceControl(IOCTL_HART_SET_READ_MASK, mask, 0).Succeeded()) {
        line.file.Close();
        return "could not set the protocol settings of " + line.comName;
    }
    line.up = true;
    line.read = line.file.ReadAsync(kFrameBuffer);
    return std::nullopt;
}

std::optional<std::string> Server::Bind(Endpoint& endpoint)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(endpoint.listen.port);
    if (int error = getaddrinfo(endpoint.listen.host.c_str(), service.c_str(), &hints, &found); error != 0) {
        return "cannot listen on " + endpoint.listen.host + ": " + gai_strerror(error);
    }
    sockaddr_storage address{};
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    const socklen_t length = found->ai_addrlen;
    freeaddrinfo(found);

    /* Port 0 asks the system for one: UDP picks it, TCP must get the same, which may take a few tries. */
    std::string why;
    for (int attempt = 0; attempt < 20; attempt++) {
        SetPort(address, endpoint.listen.port);
        const int udp = socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int tcp = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (address.ss_family == AF_INET6) {
            setsockopt(udp, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
            setsockopt(tcp, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
        }
        setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        ReportLocalAddresses(udp, address.ss_family);
        if (udp < 0 || tcp < 0 || bind(udp, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            why = std::strerror(errno);
            close(udp);
            close(tcp);
            break;
        }
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof(bound);
        getsockname(udp, reinterpret_cast<sockaddr*>(&bound), &boundLength);
        if (bind(tcp, reinterpret_cast<sockaddr*>(&bound), boundLength) != 0 || listen(tcp, 16) != 0) {
            why = std::strerror(errno);
            close(udp);
            close(tcp);
            if (endpoint.listen.port == 0 && why == std::strerror(EADDRINUSE)) {
                continue;
            }
            break;
        }
        endpoint.udp = udp;
        endpoint.tcp = tcp;
        endpoint.where = AddressText(bound);
        return std::nullopt;
    }
    return "cannot listen on " + endpoint.listen.host + ":" + service + ": " + why;
}

void Server::Watch(int fd, std::uint32_t events, Source source, std::uint64_t id)
{
    station_.Host().GetDispatcher().WatchFd(fd, events, [this, source, id](std::uint32_t reported) {
        ready_.push_back(Ready{source, id, reported});
    });
}

bool Server::Wanted() const
{
    if (!ready_.empty()) {
        return true;
    }
    for (const auto& line : lines_) {
        if (line->read.Valid() && line->read.Done()) {
            return true;
        }
        if (line->current && !line->current->writeDone && line->current->write.Done()) {
            return true;
        }
    }
    return false;
}

void Server::Run(int signalFd)
{
    signalFd_ = signalFd;
    if (signalFd_ >= 0) {
        /* Read until empty, so it must never block the loop. */
        fcntl(signalFd_, F_SETFL, fcntl(signalFd_, F_GETFL) | O_NONBLOCK);
        Watch(signalFd_, EPOLLIN, Source::Signal, 0);
    }
    platform::Dispatcher& dispatcher = station_.Host().GetDispatcher();
    for (;;) {
        TakeReady();
        if (signals_ > 0 && !stopping_) {
            BeginStop();
        }
        if (stopping_ && signals_ > 1) {
            /* Asked twice: the line's work is not waited for any longer. */
            for (auto& line : lines_) {
                if (line->current && !line->current->writeDone) {
                    line->current->write.Cancel();
                }
            }
        }
        ServiceLines();
        Timers();
        if (stopping_ && std::none_of(lines_.begin(), lines_.end(), [](const auto& l) { return l->current.has_value(); })) {
            break;
        }
        const Time now = Now();
        Time wait = kIdleWake;
        if (std::optional<Time> due = NextDue()) {
            wait = std::clamp(*due - now, Time{0}, kIdleWake);
        }
        dispatcher.RunUntil([this] { return Wanted(); }, std::chrono::duration_cast<platform::Ticks>(wait));
    }
    FinishStop();
}

void Server::TakeReady()
{
    /* Handling may queue more (a callback runs only inside the dispatcher), so take the list as it is. */
    std::vector<Ready> ready;
    ready.swap(ready_);
    for (const Ready& item : ready) {
        switch (item.source) {
        case Source::Signal:
            ReadSignals();
            break;
        case Source::Udp:
            ReadDatagrams(item.id);
            break;
        case Source::Listener:
            Accept(item.id);
            break;
        case Source::Connection: {
            auto found = connections_.find(item.id);
            if (found == connections_.end()) {
                break;
            }
            if (item.events & EPOLLOUT) {
                FlushConnection(found->second);
            }
            if (item.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ReadConnection(item.id);
            }
            break;
        }
        }
    }
}

void Server::ReadSignals()
{
    /* A signalfd hands over one siginfo per signal; any other descriptor counts one stop per read. */
    signalfd_siginfo info{};
    ssize_t got = 0;
    while ((got = read(signalFd_, &info, sizeof(info))) > 0) {
        signals_++;
        const std::string what =
            got == static_cast<ssize_t>(sizeof(info)) ? strsignal(static_cast<int>(info.ssi_signo)) : "asked to stop";
        log_ << "hartd: " << what << (signals_ == 1 ? ": stopping" : ": stopping without waiting for the line")
             << std::endl;
    }
}

void Server::ReadDatagrams(std::size_t index)
{
    Endpoint& endpoint = endpoints_[index];
    /* One byte more than the largest message, so that a longer datagram is seen to be longer. */
    std::uint8_t buffer[hartip::kMaxMessageBytes + 1];
    for (int i = 0; i < kReadsPerWake && !stopping_; i++) {
        Route route;
        route.length = sizeof(route.address);
        const ssize_t got = ReceiveDatagram(endpoint.udp, buffer, route.address, route.length, route.local);
        if (got < 0) {
            break;
        }
        const std::size_t size = std::min(static_cast<std::size_t>(got), sizeof(buffer));
        arrived_ = std::chrono::steady_clock::now();
        Handle(index, route, "udp " + AddressText(route.address), std::span<const std::uint8_t>(buffer, size), nullptr);
    }
}

void Server::Accept(std::size_t index)
{
    Endpoint& endpoint = endpoints_[index];
    for (int i = 0; i < kReadsPerWake && !stopping_; i++) {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        const int fd = accept4(endpoint.tcp, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        const std::size_t open = static_cast<std::size_t>(std::count_if(
            connections_.begin(), connections_.end(), [&](const auto& c) { return c.second.endpoint == index; }));
        if (open >= options_.maxSessions + kSpareConnections) {
            close(fd);
            LogBad(endpoint.listen.comName, "tcp " + AddressText(address), "connection refused: too many open");
            continue;
        }
        const std::uint64_t id = nextConnection_++;
        Connection& connection = connections_[id];
        connection.id = id;
        connection.fd = fd;
        connection.endpoint = index;
        connection.peer = "tcp " + AddressText(address);
        connection.address = address;
        connection.length = length;
        connection.openedAt = Now();
        Watch(fd, EPOLLIN, Source::Connection, id);
    }
}

void Server::ReadConnection(std::uint64_t id)
{
    std::uint8_t buffer[4096];
    for (int i = 0; i < kReadsPerWake; i++) {
        auto found = connections_.find(id);
        if (found == connections_.end()) {
            return;
        }
        Connection& connection = found->second;
        if (connection.closing) {
            /* What it sends now is not read; its close is waited for. */
            const ssize_t got = recv(connection.fd, buffer, sizeof(buffer), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                CloseConnection(id, nullptr);
            }
            return;
        }
        const ssize_t got = recv(connection.fd, buffer, sizeof(buffer), 0);
        if (got == 0) {
            CloseConnection(id, "the peer closed the connection");
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                CloseConnection(id, "the connection failed");
            }
            return;
        }
        arrived_ = std::chrono::steady_clock::now();
        connection.framer.Append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(got)));
        Bytes message;
        hartip::Header header;
        for (;;) {
            auto again = connections_.find(id);
            if (again == connections_.end() || again->second.closing) {
                return;
            }
            Connection& current = again->second;
            const hartip::StreamFramer::Result result = current.framer.Next(message, header);
            if (result == hartip::StreamFramer::Result::NeedMore) {
                if (current.framer.Buffered() == 0) {
                    current.partialSince.reset();
                } else if (!current.partialSince) {
                    current.partialSince = Now();
                }
                break;
            }
            if (result == hartip::StreamFramer::Result::Broken) {
                /* The byte count cannot be trusted, so where the next message starts is unknown. */
                const bool tooFew = header.byteCount < hartip::kHeaderBytes;
                LogBad(endpoints_[current.endpoint].listen.comName, current.peer,
                       tooFew ? "byte count below the header's size; connection closed"
                              : "byte count above the largest message; connection closed");
                Route route;
                route.tcp = true;
                route.connection = id;
                SendTo(current.endpoint, route,
                       hartip::BuildMessage(hartip::kNak, header.id,
                                            tooFew ? hartip::status::kTooFewDataBytes : hartip::status::kTooLarge,
                                            header.sequence));
                if (auto still = connections_.find(id); still != connections_.end()) {
                    still->second.closing = true;
                    FlushConnection(still->second);
                }
                return;
            }
            current.partialSince.reset();
            Route route;
            route.tcp = true;
            route.connection = id;
            const std::string peer = current.peer;
            Handle(current.endpoint, route, peer, message, &current);
        }
    }
}

void Server::FlushConnection(Connection& connection)
{
    while (!connection.out.empty()) {
        const ssize_t sent = send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            break;
        }
        connection.out.erase(connection.out.begin(), connection.out.begin() + sent);
    }
    if (connection.out.empty() && connection.closing) {
        CloseConnection(connection.id, nullptr);
        return;
    }
    const bool wantOut = !connection.out.empty();
    if (wantOut != connection.watchingOut) {
        connection.watchingOut = wantOut;
        station_.Host().GetDispatcher().ModifyFd(connection.fd, EPOLLIN | (wantOut ? EPOLLOUT : 0u));
    }
}

void Server::CloseConnection(std::uint64_t id, const char* why)
{
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = found->second;
    if (connection.session) {
        CloseSession(connection.endpoint, *connection.session, why != nullptr ? why : "connection closed");
    }
    station_.Host().GetDispatcher().UnwatchFd(connection.fd);
    close(connection.fd);
    connections_.erase(found);
}

void Server::Handle(std::size_t index, const Route& route, const std::string& peer, std::span<const std::uint8_t> message,
                    Connection* connection)
{
    Endpoint& endpoint = endpoints_[index];
    const hartip::Verdict verdict = hartip::Inspect(message);
    if (verdict.action == hartip::Verdict::Action::Drop) {
        LogBad(endpoint.listen.comName, peer, std::string(verdict.why) + "; not answered");
        return;
    }
    const hartip::Header& header = verdict.header;
    if (verdict.action == hartip::Verdict::Action::Reply) {
        LogBad(endpoint.listen.comName, peer, verdict.why);
        SendTo(index, route, hartip::BuildMessage(verdict.replyType, header.id, verdict.replyStatus, header.sequence));
        return;
    }
    const std::span<const std::uint8_t> body = message.subspan(hartip::kHeaderBytes);
    if (header.id == hartip::kSessionInitiate) {
        Initiate(index, route, peer, header, body, connection);
        return;
    }
    Session* session = endpoint.sessions->FindByPeer(peer);
    if (session == nullptr) {
        LogBad(endpoint.listen.comName, peer, hartip::MessageIdName(header.id) + " before the session initiate");
        SendTo(index, route,
               hartip::BuildMessage(hartip::kResponse, header.id, hartip::status::kAccessRestricted, header.sequence));
        return;
    }
    endpoint.sessions->Touch(session->id, Now());
    switch (header.id) {
    case hartip::kSessionClose: {
        const SessionId id = session->id;
        SendTo(index, route, hartip::BuildMessage(hartip::kResponse, header.id, hartip::status::kSuccess, header.sequence));
        CloseSession(index, id, "closed by the peer");
        if (connection != nullptr) {
            /* The answer may have overrun the peer's output and closed the connection already. */
            if (auto found = connections_.find(route.connection); found != connections_.end()) {
                found->second.closing = true;
                FlushConnection(found->second);
            }
        }
        return;
    }
    case hartip::kKeepAlive:
        SendTo(index, route, hartip::BuildMessage(hartip::kResponse, header.id, hartip::status::kSuccess, header.sequence));
        return;
    default:
        TokenPassing(index, *session, header, body);
        return;
    }
}

void Server::Initiate(std::size_t index, const Route& route, const std::string& peer, const hartip::Header& header,
                      std::span<const std::uint8_t> body, Connection* connection)
{
    Endpoint& endpoint = endpoints_[index];
    const std::optional<hartip::InitiateBody> asked = hartip::ReadInitiate(body);
    if (!asked) {
        LogBad(endpoint.listen.comName, peer, "session initiate with fewer than 5 data bytes");
        SendTo(index, route,
               hartip::BuildMessage(hartip::kResponse, header.id, hartip::status::kTooFewDataBytes, header.sequence));
        return;
    }
    const InitiateOutcome outcome = endpoint.sessions->Initiate(peer, *asked, Now());
    if (!outcome.session) {
        LogBad(endpoint.listen.comName, peer,
               outcome.status == hartip::status::kSessionsInUse ? "session refused: all sessions in use"
                                                                : "session refused: unknown master type");
        SendTo(index, route,
               hartip::BuildMessage(hartip::kResponse, header.id, outcome.status, header.sequence,
                                    hartip::InitiateBodyBytes(*asked)));
        return;
    }
    endpoint.routes[*outcome.session] = route;
    if (connection != nullptr) {
        connection->session = *outcome.session;
    }
    log_ << "hartd: " << endpoint.listen.comName << " session " << *outcome.session
         << (outcome.renewed ? " renewed (" : " opened (") << peer << ", "
         << (outcome.granted.masterType == 1 ? "primary" : "secondary") << " master, " << outcome.granted.inactivityMs
         << " ms" << (outcome.status == hartip::status::kSetToNearest ? ", clamped" : "") << ")" << std::endl;
    SendTo(index, route,
           hartip::BuildMessage(hartip::kResponse, header.id, outcome.status, header.sequence,
                                hartip::InitiateBodyBytes(outcome.granted)));
}

void Server::TokenPassing(std::size_t index, Session& session, const hartip::Header& header,
                          std::span<const std::uint8_t> sent)
{
    Endpoint& endpoint = endpoints_[index];
    Line& line = *lines_[endpoint.line];
    const Route route = endpoint.routes[session.id];
    const std::span<const std::uint8_t> frame = hartip::WithoutPreambles(sent);
    const hartip::FrameCheck check = hartip::CheckRequestFrame(frame);
    if (!check.valid) {
        LogBad(endpoint.listen.comName, session.peer, std::string("token-passing PDU refused: ") + check.why);
        SendTo(index, route, hartip::BuildMessage(hartip::kResponse, header.id, check.status, header.sequence));
        return;
    }
    if (stopping_ || !line.up) {
        SendTo(index, route,
               hartip::BuildMessage(hartip::kError, header.id,
                                    stopping_ ? hartip::status::kShuttingDown : hartip::status::kPortUnavailable,
                                    header.sequence));
        return;
    }
    if (session.primary != options_.primary && !endpoint.toldMasterMismatch[session.id]) {
        endpoint.toldMasterMismatch[session.id] = true;
        log_ << "hartd: " << endpoint.listen.comName << " session " << session.id << " is a "
             << (session.primary ? "primary" : "secondary") << " master; its frames go out as the port's "
             << (options_.primary ? "primary" : "secondary") << " master" << std::endl;
    }
    Job job;
    job.endpoint = index;
    job.session = session.id;
    job.sequence = header.sequence;
    /* The line has one master per port: a frame with the other master's bit would have its answer
       taken for the other master's, and the request would time out. */
    job.frame = hartip::WithMasterBit(frame, options_.primary);
    job.match = MatchFor(job.frame, options_.primary);
    job.received = Now();
    job.own = std::chrono::steady_clock::now() - arrived_;
    if (!line.queue.Push(session.id, std::move(job))) {
        SendTo(index, route, hartip::BuildMessage(hartip::kResponse, header.id, hartip::status::kBusy, header.sequence));
        return;
    }
    session.pending++;
    if (!line.current) {
        StartNext(line);
    }
}

void Server::CloseSession(std::size_t index, SessionId id, const std::string& why)
{
    Endpoint& endpoint = endpoints_[index];
    Session* session = endpoint.sessions->Find(id);
    if (session == nullptr) {
        return;
    }
    const std::string peer = session->peer;
    /* Its waiting requests go; one on the line finishes for the line's sake, its answer unsent. */
    lines_[endpoint.line]->queue.Drop(id);
    endpoint.sessions->Close(id);
    endpoint.routes.erase(id);
    endpoint.publishSequence.erase(id);
    endpoint.toldMasterMismatch.erase(id);
    log_ << "hartd: " << endpoint.listen.comName << " session " << id << " closed (" << peer << "): " << why
         << std::endl;
    for (auto& [connectionId, connection] : connections_) {
        if (connection.session == id && connection.endpoint == index) {
            connection.session.reset();
            connection.closing = true;
        }
    }
}

void Server::SendTo(std::size_t index, const Route& route, const Bytes& message)
{
    if (!route.tcp) {
        SendDatagram(endpoints_[index].udp, route.address, route.length, route.local, message);
        return;
    }
    auto found = connections_.find(route.connection);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = found->second;
    if (connection.out.size() + message.size() > kMaxOutput) {
        LogBad(endpoints_[index].listen.comName, connection.peer, "the peer does not read its answers; closed");
        CloseConnection(route.connection, "the peer does not read its answers");
        return;
    }
    connection.out.insert(connection.out.end(), message.begin(), message.end());
    FlushConnection(connection);
}

void Server::Reply(std::size_t index, SessionId id, const Bytes& message)
{
    Endpoint& endpoint = endpoints_[index];
    auto route = endpoint.routes.find(id);
    if (route == endpoint.routes.end()) {
        return;
    }
    const Route copy = route->second;
    SendTo(index, copy, message);
}

void Server::Publish(Line& line, const Bytes& frame)
{
    for (std::size_t index : line.endpoints) {
        Endpoint& endpoint = endpoints_[index];
        for (SessionId id : endpoint.sessions->Ids()) {
            const std::uint16_t sequence = endpoint.publishSequence[id]++;
            Reply(index, id, hartip::BuildMessage(hartip::kPublish, hartip::kTokenPassingPdu, 0, sequence, frame));
        }
    }
}

void Server::ServiceLines()
{
    for (auto& line : lines_) {
        ServiceLine(*line);
    }
}

void Server::ServiceLine(Line& line)
{
    serviceStart_ = std::chrono::steady_clock::now();
    if (line.read.Valid() && line.read.Done()) {
        const platform::IoResult result = line.read.Result();
        line.read = platform::PendingIo();
        TakeRead(line, result);
    }
    if (line.current && !line.current->writeDone && line.current->write.Done()) {
        InFlight& current = *line.current;
        current.writeDone = true;
        current.writeStatus = current.write.Result().status;
        current.graceUntil = Now() + kAnswerGrace;
    }
    if (line.current && line.current->writeDone) {
        InFlight& current = *line.current;
        if (current.writeStatus == STATUS_SUCCESS && current.answer) {
            const Bytes answer = *current.answer;
            Finish(line, hartip::kResponse, hartip::status::kSuccess, answer);
        } else if (current.writeStatus == STATUS_TRANSACTION_TIMED_OUT) {
            Finish(line, hartip::kError, current.corrupt ? hartip::status::kCorruptAnswer : hartip::status::kNoAnswer, {});
        } else if (current.writeStatus == STATUS_CANCELLED && stopping_) {
            Finish(line, hartip::kError, hartip::status::kShuttingDown, {});
        } else if (current.writeStatus != STATUS_SUCCESS) {
            Finish(line, hartip::kError, hartip::status::kPortUnavailable, {});
        } else if (Now() >= current.graceUntil) {
            Finish(line, hartip::kError, current.corrupt ? hartip::status::kCorruptAnswer : hartip::status::kNoAnswer, {});
        }
    }
    if (!line.current && line.up && !stopping_) {
        StartNext(line);
    }
}

void Server::TakeRead(Line& line, const platform::IoResult& result)
{
    if (result.status != STATUS_SUCCESS && result.status != STATUS_CRC_ERROR) {
        if (!stopping_) {
            char status[16];
            std::snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(result.status));
            LineDown(line, std::string("its port device stopped reading (") + status + ")");
        }
        return;
    }
    std::optional<hart::Frame> frame = hart::ParseFrame(result.data);
    if (frame && frame->Kind() == hart::FrameKind::Back) {
        if (result.status == STATUS_SUCCESS && frame->checkByteOk) {
            Publish(line, result.data);
        }
    } else if (frame && line.current && hart::Answers(*frame, line.current->job.match)) {
        if (result.status == STATUS_SUCCESS && frame->checkByteOk) {
            line.current->answer = result.data;
        } else {
            line.current->corrupt = true;
        }
    }
    /* Anything else is an answer that came too late for a request already given up. */
    if (line.up) {
        line.read = line.file.ReadAsync(kFrameBuffer);
    }
}

void Server::StartNext(Line& line)
{
    while (!line.current && line.up) {
        auto next = line.queue.Pop();
        if (!next) {
            return;
        }
        Job& job = next->second;
        if (endpoints_[job.endpoint].sessions->Find(job.session) == nullptr) {
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        Bytes bytes(static_cast<std::size_t>(options_.preambles), 0xFF);
        bytes.insert(bytes.end(), job.frame.begin(), job.frame.end());
        line.current.emplace();
        line.current->write = line.file.WriteAsync(bytes);
        line.current->job = std::move(job);
        line.current->job.own += std::chrono::steady_clock::now() - start;
        if (!line.read.Valid()) {
            line.read = line.file.ReadAsync(kFrameBuffer);
        }
    }
}

void Server::Finish(Line& line, std::uint8_t type, std::uint8_t status, std::span<const std::uint8_t> body)
{
    const Job job = std::move(line.current->job);
    line.current.reset();
    Endpoint& endpoint = endpoints_[job.endpoint];
    if (Session* session = endpoint.sessions->Find(job.session)) {
        if (session->pending > 0) {
            session->pending--;
        }
        Reply(job.endpoint, job.session, hartip::BuildMessage(type, hartip::kTokenPassingPdu, status, job.sequence, body));
        const std::chrono::nanoseconds own = job.own + (std::chrono::steady_clock::now() - serviceStart_);
        const auto bucket = static_cast<std::size_t>(own.count() / 2000);
        ownTimes_[std::min(bucket, ownTimes_.size() - 1)]++;
        ownCount_++;
        ownMax_ = std::max(ownMax_, own);
    }
    if (line.up && !stopping_) {
        StartNext(line);
    }
}

void Server::LineDown(Line& line, const std::string& why)
{
    if (!line.up) {
        return;
    }
    line.up = false;
    log_ << "hartd: " << line.comName << " is unavailable: " << why << std::endl;
    if (line.current && !line.current->writeDone) {
        line.current->write.Cancel();
    }
    while (auto next = line.queue.Pop()) {
        Job& job = next->second;
        if (Session* session = endpoints_[job.endpoint].sessions->Find(job.session)) {
            if (session->pending > 0) {
                session->pending--;
            }
            Reply(job.endpoint, job.session,
                  hartip::BuildMessage(hartip::kError, hartip::kTokenPassingPdu, hartip::status::kPortUnavailable,
                                       job.sequence));
        }
    }
    line.retryOpenAt = Now() + kReopenPeriod;
}

void Server::Timers()
{
    const Time now = Now();
    for (std::size_t index = 0; index < endpoints_.size(); index++) {
        for (const Session& expired : endpoints_[index].sessions->Expire(now)) {
            /* Expire took it out of the table; CloseSession needs it there to tidy up, so tidy here. */
            Endpoint& endpoint = endpoints_[index];
            lines_[endpoint.line]->queue.Drop(expired.id);
            endpoint.routes.erase(expired.id);
            endpoint.publishSequence.erase(expired.id);
            endpoint.toldMasterMismatch.erase(expired.id);
            log_ << "hartd: " << endpoint.listen.comName << " session " << expired.id << " closed (" << expired.peer
                 << "): inactive for " << expired.inactivity.count() << " ms" << std::endl;
            for (auto& [id, connection] : connections_) {
                if (connection.session == expired.id && connection.endpoint == index) {
                    connection.session.reset();
                    connection.closing = true;
                    FlushConnection(connection);
                    break;
                }
            }
        }
    }
    std::vector<std::uint64_t> stalled;
    for (auto& [id, connection] : connections_) {
        const bool half = connection.partialSince && now - *connection.partialSince >= options_.stallTimeout;
        const bool idle = !connection.session && now - connection.openedAt >= options_.stallTimeout;
        if (half || idle) {
            stalled.push_back(id);
        }
    }
    for (std::uint64_t id : stalled) {
        Connection& connection = connections_[id];
        LogBad(endpoints_[connection.endpoint].listen.comName, connection.peer,
               connection.partialSince ? "half a message, then silence; connection closed"
                                       : "no session; connection closed");
        CloseConnection(id, "stalled");
    }
    for (auto& line : lines_) {
        if (!line->up && !stopping_ && now >= line->retryOpenAt) {
            line->file.Close();
            station_.Replug(line->comName);
            if (!OpenLine(*line)) {
                log_ << "hartd: " << line->comName << " is back" << std::endl;
            } else {
                line->retryOpenAt = now + kReopenPeriod;
            }
        }
    }
}

std::optional<Time> Server::NextDue() const
{
    std::optional<Time> due;
    auto consider = [&due](Time at) { due = due ? std::min(*due, at) : at; };
    for (const Endpoint& endpoint : endpoints_) {
        if (auto next = endpoint.sessions->NextDeadline()) {
            consider(*next);
        }
    }
    for (const auto& [id, connection] : connections_) {
        if (connection.partialSince) {
            consider(*connection.partialSince + options_.stallTimeout);
        }
        if (!connection.session) {
            consider(connection.openedAt + options_.stallTimeout);
        }
    }
    for (const auto& line : lines_) {
        if (line->current && line->current->writeDone) {
            consider(line->current->graceUntil);
        }
        if (!line->up) {
            consider(line->retryOpenAt);
        }
    }
    return due;
}

void Server::BeginStop()
{
    stopping_ = true;
    platform::Dispatcher& dispatcher = station_.Host().GetDispatcher();
    for (Endpoint& endpoint : endpoints_) {
        dispatcher.UnwatchFd(endpoint.udp);
        dispatcher.UnwatchFd(endpoint.tcp);
        close(endpoint.tcp);
        endpoint.tcp = -1;
    }
    /* What waits for the line is answered now; what is on it finishes first. */
    for (auto& line : lines_) {
        while (auto next = line->queue.Pop()) {
            Job& job = next->second;
            Reply(job.endpoint, job.session,
                  hartip::BuildMessage(hartip::kError, hartip::kTokenPassingPdu, hartip::status::kShuttingDown,
                                       job.sequence));
        }
    }
}

void Server::FinishStop()
{
    for (std::size_t index = 0; index < endpoints_.size(); index++) {
        for (SessionId id : endpoints_[index].sessions->Ids()) {
            CloseSession(index, id, "the server stops");
        }
    }
    platform::Dispatcher& dispatcher = station_.Host().GetDispatcher();
    std::vector<std::uint64_t> ids;
    for (auto& [id, connection] : connections_) {
        ids.push_back(id);
    }
    for (std::uint64_t id : ids) {
        Connection& connection = connections_[id];
        /* The last answers are sent while the socket takes them; a peer that reads nothing loses them. */
        if (!connection.out.empty()) {
            (void)send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        dispatcher.UnwatchFd(connection.fd);
        close(connection.fd);
    }
    connections_.clear();
    for (auto& line : lines_) {
        if (line->read.Valid() && !line->read.Done()) {
            line->read.Cancel();
        }
        line->read = platform::PendingIo();
        line->file.Close();
        line->up = false;
    }
    if (signalFd_ >= 0) {
        dispatcher.UnwatchFd(signalFd_);
    }
}

std::vector<std::string> Server::Bound() const
{
    std::vector<std::string> bound;
    for (const Endpoint& endpoint : endpoints_) {
        bound.push_back(endpoint.where);
    }
    return bound;
}

Server::Figures Server::OwnTime() const
{
    Figures figures;
    figures.transactions = ownCount_;
    figures.maxUs = static_cast<double>(ownMax_.count()) / 1000.0;
    auto quantile = [this](double q) {
        const auto wanted = static_cast<std::uint64_t>(q * static_cast<double>(ownCount_));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < ownTimes_.size(); i++) {
            seen += ownTimes_[i];
            if (seen > wanted) {
                return static_cast<double>(i + 1) * 2.0;
            }
        }
        return static_cast<double>(ownTimes_.size()) * 2.0;
    };
    if (ownCount_ > 0) {
        figures.p50Us = quantile(0.50);
        figures.p99Us = std::min(quantile(0.99), figures.maxUs);
        figures.p50Us = std::min(figures.p50Us, figures.maxUs);
    }
    return figures;
}

void Server::LogBad(const std::string& where, const std::string& peer, const std::string& what)
{
    const Time now = Now();
    if (now - logWindow_ >= std::chrono::seconds(1)) {
        if (suppressed_ > 0) {
            log_ << "hartd: " << suppressed_ << " more lines of bad input not shown" << std::endl;
        }
        logWindow_ = now;
        logged_ = 0;
        suppressed_ = 0;
    }
    if (logged_ >= kLogLinesPerSecond) {
        suppressed_++;
        return;
    }
    logged_++;
    log_ << "hartd: " << where << " " << peer << ": " << what << std::endl;
}

} // namespace hartd
