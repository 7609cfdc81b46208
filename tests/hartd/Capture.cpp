#include "Capture.h"

#include <cstdio>
#include <memory>

namespace hartd_test {

namespace {

constexpr std::uint8_t kUdp = 17;
constexpr std::uint8_t kTcpProtocol = 6;
/* Raw IPv4 or IPv6, no link-layer header. */
constexpr std::uint32_t kLinkTypeRaw = 101;

void Put16(Capture::Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void Put32(Capture::Bytes& out, std::uint32_t value)
{
    Put16(out, static_cast<std::uint16_t>(value >> 16));
    Put16(out, static_cast<std::uint16_t>(value));
}

/* The pcap file's own fields are in the writer's byte order, which its magic number tells. */
void PutNative32(std::FILE* file, std::uint32_t value)
{
    std::fwrite(&value, sizeof(value), 1, file);
}

std::uint16_t HeaderChecksum(const Capture::Bytes& header)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
        sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

} // namespace

void Capture::Udp(std::uint16_t clientPort, bool toServer, const Bytes& payload)
{
    Bytes datagram;
    Put16(datagram, toServer ? clientPort : serverPort_);
    Put16(datagram, toServer ? serverPort_ : clientPort);
    Put16(datagram, static_cast<std::uint16_t>(8 + payload.size()));
    /* No checksum, which IPv4 allows. */
    Put16(datagram, 0);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    Packet(kUdp, datagram);
}

void Capture::TcpOpen(std::uint16_t clientPort)
{
    streams_[clientPort] = Stream{};
    Segment(clientPort, true, kSyn, {});
    Segment(clientPort, false, kSyn | kAck, {});
    Segment(clientPort, true, kAck, {});
}

void Capture::Tcp(std::uint16_t clientPort, bool toServer, const Bytes& payload)
{
    Segment(clientPort, toServer, kPush | kAck, payload);
}

void Capture::TcpClose(std::uint16_t clientPort)
{
    Segment(clientPort, true, kFin | kAck, {});
    Segment(clientPort, false, kFin | kAck, {});
    Segment(clientPort, true, kAck, {});
}

void Capture::Segment(std::uint16_t clientPort, bool toServer, std::uint8_t flags, const Bytes& payload)
{
    Stream& stream = streams_[clientPort];
    std::uint32_t& own = toServer ? stream.clientNext : stream.serverNext;
    const std::uint32_t other = toServer ? stream.serverNext : stream.clientNext;
    Bytes segment;
    Put16(segment, toServer ? clientPort : serverPort_);
    Put16(segment, toServer ? serverPort_ : clientPort);
    Put32(segment, own);
    /* The first SYN acknowledges nothing yet. */
    Put32(segment, (flags & kAck) != 0 ? other : 0);
    segment.push_back(5 << 4);
    segment.push_back(flags);
    Put16(segment, 65535);
    /* Checksum and urgent pointer; decoders do not check the first by default. */
    Put16(segment, 0);
    Put16(segment, 0);
    segment.insert(segment.end(), payload.begin(), payload.end());
    own += static_cast<std::uint32_t>(payload.size()) + ((flags & (kSyn | kFin)) != 0 ? 1 : 0);
    Packet(kTcpProtocol, segment);
}

void Capture::Packet(std::uint8_t protocol, const Bytes& transport)
{
    Bytes packet;
    packet.push_back(0x45);
    packet.push_back(0);
    Put16(packet, static_cast<std::uint16_t>(20 + transport.size()));
    Put16(packet, static_cast<std::uint16_t>(packets_.size()));
    /* Don't fragment. */
    Put16(packet, 0x4000);
    packet.push_back(64);
    packet.push_back(protocol);
    Put16(packet, 0);
    Put32(packet, 0x7F000001);
    Put32(packet, 0x7F000001);
    const std::uint16_t checksum = HeaderChecksum(packet);
    packet[10] = static_cast<std::uint8_t>(checksum >> 8);
    packet[11] = static_cast<std::uint8_t>(checksum);
    packet.insert(packet.end(), transport.begin(), transport.end());
    packets_.push_back(std::move(packet));
}

bool Capture::Write(const std::string& path) const
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) {
        return false;
    }
    PutNative32(file.get(), 0xA1B2C3D4);
    const std::uint16_t version[2] = {2, 4};
    std::fwrite(version, sizeof(version), 1, file.get());
    PutNative32(file.get(), 0);
    PutNative32(file.get(), 0);
    PutNative32(file.get(), 65535);
    PutNative32(file.get(), kLinkTypeRaw);
    /* A millisecond apart, so that a reader keeps them in this order. */
    std::uint32_t milliseconds = 0;
    for (const Bytes& packet : packets_) {
        PutNative32(file.get(), milliseconds / 1000);
        PutNative32(file.get(), milliseconds % 1000 * 1000);
        PutNative32(file.get(), static_cast<std::uint32_t>(packet.size()));
        PutNative32(file.get(), static_cast<std::uint32_t>(packet.size()));
        std::fwrite(packet.data(), 1, packet.size(), file.get());
        ++milliseconds;
    }
    return std::ferror(file.get()) == 0;
}

} // namespace hartd_test
