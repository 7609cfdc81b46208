#include "app/Frame.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace hart {

std::uint8_t CheckByte(std::span<const std::uint8_t> body)
{
    std::uint8_t check = 0;
    for (std::uint8_t b : body) {
        check ^= b;
    }
    return check;
}

Address Address::Polling(std::uint8_t polling)
{
    Address address;
    address.polling = polling;
    return address;
}

Address Address::Long(const std::array<std::uint8_t, 5>& id)
{
    Address address;
    address.isLong = true;
    address.id = id;
    address.id[0] &= 0x3F;
    return address;
}

Address Address::Broadcast()
{
    return Long({});
}

bool Address::IsBroadcast() const
{
    return isLong && (id[0] & 0x3F) == 0 && std::all_of(id.begin() + 1, id.end(), [](auto b) { return b == 0; });
}

std::string Address::Text() const
{
    if (!isLong) {
        return std::to_string(polling);
    }
    Bytes bytes(id.begin(), id.end());
    bytes[0] &= 0x3F;
    return Hex(bytes);
}

Bytes BuildRequest(const Request& request)
{
    if (request.data.size() > kMaxDataBytes) {
        /* The byte count would wrap and the device would read a different frame. */
        throw std::length_error("a request carries at most 255 data bytes");
    }
    Bytes frame(static_cast<std::size_t>(request.preambles), 0xFF);
    const std::size_t start = frame.size();
    const std::uint8_t master = request.primaryMaster ? 0x80 : 0x00;
    if (request.address.isLong) {
        frame.push_back(0x80 | kDelimiterStx);
        frame.push_back(static_cast<std::uint8_t>(master | (request.address.id[0] & 0x3F)));
        frame.insert(frame.end(), request.address.id.begin() + 1, request.address.id.end());
    } else {
        frame.push_back(kDelimiterStx);
        frame.push_back(static_cast<std::uint8_t>(master | (request.address.polling & 0x3F)));
    }
    frame.push_back(request.command);
    frame.push_back(static_cast<std::uint8_t>(request.data.size()));
    frame.insert(frame.end(), request.data.begin(), request.data.end());
    frame.push_back(CheckByte(std::span<const std::uint8_t>(frame).subspan(start)));
    return frame;
}

FrameKind Frame::Kind() const
{
    switch (delimiter & 0x07) {
    case kDelimiterStx:
        return FrameKind::Stx;
    case kDelimiterAck:
        return FrameKind::Ack;
    case kDelimiterBack:
        return FrameKind::Back;
    default:
        return FrameKind::Unknown;
    }
}

std::string Frame::AddressText() const
{
    if (!IsLong()) {
        return address.empty() ? std::string("?") : std::to_string(address[0] & 0x3F);
    }
    Bytes id(address.begin(), address.end());
    if (!id.empty()) {
        id[0] &= 0x3F;
    }
    return Hex(id);
}

std::span<const std::uint8_t> Frame::Payload() const
{
    return data.size() > 2 ? std::span<const std::uint8_t>(data).subspan(2) : std::span<const std::uint8_t>();
}

bool Answers(const Frame& answer, const Request& request)
{
    if (answer.Kind() != FrameKind::Ack || answer.command != request.command ||
        answer.FromPrimaryMaster() != request.primaryMaster || answer.IsLong() != request.address.isLong) {
        return false;
    }
    if (request.command == kExpandedCommand && request.data.size() >= 2 && answer.data.size() >= 4 &&
        (answer.data[2] != request.data[0] || answer.data[3] != request.data[1])) {
        return false;
    }
    if (!request.address.isLong) {
        return (answer.address[0] & 0x3F) == (request.address.polling & 0x3F);
    }
    if (request.address.IsBroadcast()) {
        return true;
    }
    const auto& id = request.address.id;
    return (answer.address[0] & 0x3F) == (id[0] & 0x3F) && std::equal(id.begin() + 1, id.end(), answer.address.begin() + 1);
}

Request Expanded(Request request, std::uint16_t number, const Bytes& data)
{
    request.data.clear();
    if (number <= 0xFF) {
        request.command = static_cast<std::uint8_t>(number);
    } else {
        request.command = kExpandedCommand;
        request.data = {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
    }
    request.data.insert(request.data.end(), data.begin(), data.end());
    return request;
}

void Unwrap(Frame& answer)
{
    /* Response code, device status, then the number: a device that does not
       know command 31 answers with the status bytes alone. */
    if (answer.command != kExpandedCommand || answer.data.size() < 4) {
        return;
    }
    answer.command = static_cast<std::uint16_t>(answer.data[2] << 8 | answer.data[3]);
    answer.data.erase(answer.data.begin() + 2, answer.data.begin() + 4);
}

std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes, std::string* why)
{
    auto fail = [why](const char* reason) -> std::optional<Frame> {
        if (why != nullptr) {
            *why = reason;
        }
        return std::nullopt;
    };
    std::size_t at = 0;
    while (at < bytes.size() && bytes[at] == 0xFF) {
        at++;
    }
    if (at >= bytes.size()) {
        return fail("no delimiter");
    }
    Frame frame;
    frame.delimiter = bytes[at];
    const std::size_t start = at++;
    const std::size_t addressLength = frame.IsLong() ? 5 : 1;
    const std::size_t expansionLength = (frame.delimiter >> 5) & 3;
    if (bytes.size() < at + addressLength + expansionLength + 2) {
        return fail("the header is cut short");
    }
    frame.address.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + addressLength));
    at += addressLength;
    frame.expansion.assign(bytes.begin() + static_cast<long>(at),
                           bytes.begin() + static_cast<long>(at + expansionLength));
    at += expansionLength;
    frame.command = bytes[at++];
    const std::size_t count = bytes[at++];
    if (bytes.size() < at + count + 1) {
        return fail("the data are cut short");
    }
    frame.data.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + count));
    at += count;
    frame.checkByteOk = CheckByte(bytes.subspan(start, at - start)) == bytes[at];
    return frame;
}

const char* KindName(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Stx:
        return "STX";
    case FrameKind::Ack:
        return "ACK";
    case FrameKind::Back:
        return "BACK";
    default:
        return "?";
    }
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 3);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : bytes) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::optional<Bytes> ParseHex(const std::string& text)
{
    Bytes bytes;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == ' ' || c == ',' || c == ':' || c == '-') {
            if (high >= 0) {
                return std::nullopt; /* half a byte */
            }
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && high < 0) {
            i++;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace hart
