#include "Datagram.h"

#include <cstring>

namespace hartd {

namespace {

/* The message's one control item; control must have room for it. */
template <typename Info>
void AttachControl(msghdr& header, std::uint8_t* control, int level, int type, const Info& info)
{
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(sizeof(info));
    cmsghdr* item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = level;
    item->cmsg_type = type;
    item->cmsg_len = CMSG_LEN(sizeof(info));
    std::memcpy(CMSG_DATA(item), &info, sizeof(info));
}

} // namespace

void ReportLocalAddresses(int fd, int family)
{
    const int one = 1;
    if (family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof(one));
    } else {
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
    }
}

ssize_t ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, sockaddr_storage& peer, socklen_t& peerLength,
                        LocalAddress& local)
{
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))];
    msghdr header{};
    header.msg_name = &peer;
    header.msg_namelen = peerLength;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    const ssize_t got = recvmsg(fd, &header, MSG_TRUNC);
    if (got < 0) {
        return got;
    }
    peerLength = header.msg_namelen;
    local = LocalAddress{};
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(item), sizeof(info));
            /* The local address, not the header's destination: for a broadcast they differ,
               and an answer cannot come from a broadcast address. */
            local.v4 = info.ipi_spec_dst;
        } else if (item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(item), sizeof(info));
            /* Nor from a multicast one: then the kernel chooses. */
            if (!IN6_IS_ADDR_MULTICAST(&info.ipi6_addr)) {
                local.v6 = info.ipi6_addr;
            }
        }
    }
    return got;
}

void SendDatagram(int fd, const sockaddr_storage& peer, socklen_t peerLength, const LocalAddress& local,
                  std::span<const std::uint8_t> message)
{
    iovec data{const_cast<std::uint8_t*>(message.data()), message.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr header{};
    header.msg_name = const_cast<sockaddr_storage*>(&peer);
    header.msg_namelen = peerLength;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (local.v4) {
        in_pktinfo info{};
        info.ipi_spec_dst = *local.v4;
        AttachControl(header, control, IPPROTO_IP, IP_PKTINFO, info);
    } else if (local.v6) {
        /* The interface stays the kernel's choice; only the source address is ours. */
        in6_pktinfo info{};
        info.ipi6_addr = *local.v6;
        AttachControl(header, control, IPPROTO_IPV6, IPV6_PKTINFO, info);
    }
    sendmsg(fd, &header, MSG_DONTWAIT);
}

} // namespace hartd
