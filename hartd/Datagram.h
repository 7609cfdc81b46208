/*
 * UDP datagrams with the local address they came to. A socket bound to a
 * wildcard address would otherwise answer from whichever of the machine's
 * addresses the kernel picks, and a peer with a connected socket drops a
 * datagram from any address but the one it sent to.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace hartd {

/* Where a datagram was taken in; none known means the kernel chooses. */
struct LocalAddress {
    std::optional<in_addr> v4;
    std::optional<in6_addr> v6;
};

/* Asks a UDP socket to tell each datagram's local address (before bind is fine). */
void ReportLocalAddresses(int fd, int family);

/* recvmsg with MSG_TRUNC: the datagram's whole length, even when the buffer
   took less; -1 with errno as recvmsg leaves it. peerLength goes in as the
   room in peer. */
ssize_t ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, sockaddr_storage& peer, socklen_t& peerLength,
                        LocalAddress& local);

/* Sends without waiting, from local when it is known. A full socket buffer
   drops the datagram, as the network may; the peer asks again. */
void SendDatagram(int fd, const sockaddr_storage& peer, socklen_t peerLength, const LocalAddress& local,
                  std::span<const std::uint8_t> message);

} // namespace hartd
