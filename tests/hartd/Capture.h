/*
 * A capture file of what the tests' clients and hartd said to each other on
 * loopback, in the classic pcap format with raw IPv4 packets, so that a
 * protocol decoder reads it as it would read a capture from the wire. UDP
 * datagrams go in as they were; a TCP conversation gets its handshake, its
 * sequence numbers and its close, and a message the test sent in pieces is
 * recorded in the same pieces.
 */
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hartd_test {

class Capture {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit Capture(std::uint16_t serverPort) : serverPort_(serverPort) {}

    void Udp(std::uint16_t clientPort, bool toServer, const Bytes& payload);
    void TcpOpen(std::uint16_t clientPort);
    void Tcp(std::uint16_t clientPort, bool toServer, const Bytes& payload);
    void TcpClose(std::uint16_t clientPort);

    /* False when the file could not be written whole. */
    bool Write(const std::string& path) const;

private:
    struct Stream {
        std::uint32_t clientNext = 1000;
        std::uint32_t serverNext = 5000;
    };
    enum TcpFlag : std::uint8_t { kFin = 0x01, kSyn = 0x02, kPush = 0x08, kAck = 0x10 };

    void Segment(std::uint16_t clientPort, bool toServer, std::uint8_t flags, const Bytes& payload);
    void Packet(std::uint8_t protocol, const Bytes& transport);

    std::uint16_t serverPort_;
    std::map<std::uint16_t, Stream> streams_;
    std::vector<Bytes> packets_;
};

} // namespace hartd_test
