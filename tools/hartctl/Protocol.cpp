#include "Protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace hartctl {

namespace {

std::uint8_t CheckByte(std::span<const std::uint8_t> body)
{
    std::uint8_t check = 0;
    for (std::uint8_t b : body) {
        check ^= b;
    }
    return check;
}

std::string Printf(const char* format, unsigned value)
{
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

float Float(std::span<const std::uint8_t> bytes)
{
    std::uint32_t bits = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                         (std::uint32_t{bytes[2]} << 8) | bytes[3];
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::string FloatText(float value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

} // namespace

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

bool Answers(const Frame& answer, const Request& request)
{
    if (answer.Kind() != FrameKind::Ack || answer.command != request.command ||
        answer.FromPrimaryMaster() != request.primaryMaster || answer.IsLong() != request.address.isLong) {
        return false;
    }
    if (!request.address.isLong) {
        return (answer.address[0] & 0x3F) == (request.address.polling & 0x3F);
    }
    const auto& id = request.address.id;
    const bool broadcast = (id[0] & 0x3F) == 0 && std::all_of(id.begin() + 1, id.end(), [](auto b) { return b == 0; });
    if (broadcast) {
        return true;
    }
    return (answer.address[0] & 0x3F) == (id[0] & 0x3F) && std::equal(id.begin() + 1, id.end(), answer.address.begin() + 1);
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

std::string ResponseText(std::uint8_t code)
{
    if (code & 0x80) {
        static constexpr std::pair<std::uint8_t, const char*> kErrors[] = {
            {0x40, "vertical parity error"}, {0x20, "overrun error"},         {0x10, "framing error"},
            {0x08, "longitudinal parity error"}, {0x02, "buffer overflow"},
        };
        std::string text = "communication error";
        const char* separator = ": ";
        for (const auto& [bit, name] : kErrors) {
            if (code & bit) {
                text += separator;
                text += name;
                separator = ", ";
            }
        }
        return text;
    }
    switch (code) {
    case 0:
        return "success";
    case 2:
        return "invalid selection";
    case 3:
        return "passed parameter too large";
    case 4:
        return "passed parameter too small";
    case 5:
        return "too few data bytes received";
    case 6:
        return "device-specific command error";
    case 7:
        return "in write-protect mode";
    case 16:
        return "access restricted";
    case 32:
        return "device is busy";
    case 33:
        return "delayed response initiated";
    case 34:
        return "delayed response running";
    case 35:
        return "delayed response dead";
    case 36:
        return "delayed response conflict";
    case 64:
        return "command not implemented";
    default:
        return Printf("response code %u", code);
    }
}

std::vector<std::string> DeviceStatusText(std::uint8_t status)
{
    static constexpr std::pair<std::uint8_t, const char*> kBits[] = {
        {0x80, "device malfunction"},
        {0x40, "configuration changed"},
        {0x20, "cold start"},
        {0x10, "more status available"},
        {0x08, "loop current fixed"},
        {0x04, "loop current saturated"},
        {0x02, "non-primary variable out of limits"},
        {0x01, "primary variable out of limits"},
    };
    std::vector<std::string> words;
    for (const auto& [bit, name] : kBits) {
        if (status & bit) {
            words.emplace_back(name);
        }
    }
    return words;
}

std::string UnitName(std::uint8_t code)
{
    switch (code) {
    case 6:
        return "psi";
    case 7:
        return "bar";
    case 12:
        return "kPa";
    case 32:
        return "degC";
    case 33:
        return "degF";
    case 35:
        return "K";
    case 39:
        return "mA";
    case 57:
        return "%";
    case 58:
        return "V";
    case 250:
        return "not used";
    default:
        return Printf("unit %u", code);
    }
}

Address Identity::LongAddress() const
{
    Address address;
    address.isLong = true;
    address.id = {static_cast<std::uint8_t>(manufacturer & 0x3F), deviceType,
                  static_cast<std::uint8_t>(deviceId >> 16), static_cast<std::uint8_t>(deviceId >> 8),
                  static_cast<std::uint8_t>(deviceId)};
    return address;
}

std::optional<Identity> DecodeIdentity(std::span<const std::uint8_t> payload)
{
    if (payload.size() < 12 || payload[0] != 254) {
        return std::nullopt;
    }
    Identity identity;
    identity.manufacturer = payload[1];
    identity.deviceType = payload[2];
    identity.preambles = payload[3];
    identity.universalRevision = payload[4];
    identity.deviceRevision = payload[5];
    identity.softwareRevision = payload[6];
    identity.hardwareRevision = static_cast<std::uint8_t>(payload[7] >> 3);
    identity.deviceId = (std::uint32_t{payload[9]} << 16) | (std::uint32_t{payload[10]} << 8) | payload[11];
    return identity;
}

std::string UnpackAscii(std::span<const std::uint8_t> packed)
{
    std::string text;
    const std::size_t characters = packed.size() / 3 * 4;
    for (std::size_t i = 0; i < characters; i++) {
        unsigned code = 0;
        for (std::size_t bit = i * 6; bit < i * 6 + 6; bit++) {
            code = (code << 1) | ((packed[bit / 8] >> (7 - bit % 8)) & 1u);
        }
        text.push_back(static_cast<char>(code < 0x20 ? code + 0x40 : code));
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

Fields DecodeAnswer(std::uint8_t command, std::span<const std::uint8_t> payload)
{
    Fields fields;
    switch (command) {
    case 0:
    case 11:
        if (auto identity = DecodeIdentity(payload)) {
            fields.emplace_back("manufacturer", Printf("0x%02X", identity->manufacturer));
            fields.emplace_back("device type", Printf("0x%02X", identity->deviceType));
            fields.emplace_back("device id", Printf("0x%06X", identity->deviceId));
            fields.emplace_back("long address", Hex(identity->LongAddress().id));
            fields.emplace_back("universal revision", std::to_string(identity->universalRevision));
            fields.emplace_back("device revision", std::to_string(identity->deviceRevision));
            fields.emplace_back("software revision", std::to_string(identity->softwareRevision));
            fields.emplace_back("preambles", std::to_string(identity->preambles));
        }
        break;
    case 1:
        if (payload.size() >= 5) {
            fields.emplace_back("primary variable", FloatText(Float(payload.subspan(1, 4))) + " " + UnitName(payload[0]));
        }
        break;
    case 2:
        if (payload.size() >= 8) {
            fields.emplace_back("loop current", FloatText(Float(payload.subspan(0, 4))) + " mA");
            fields.emplace_back("percent of range", FloatText(Float(payload.subspan(4, 4))) + " %");
        }
        break;
    case 3:
        if (payload.size() >= 4) {
            fields.emplace_back("loop current", FloatText(Float(payload.subspan(0, 4))) + " mA");
        }
        for (std::size_t at = 4, n = 1; at + 5 <= payload.size() && n <= 4; at += 5, n++) {
            fields.emplace_back("variable " + std::to_string(n),
                                FloatText(Float(payload.subspan(at + 1, 4))) + " " + UnitName(payload[at]));
        }
        break;
    case 12:
        if (payload.size() >= 24) {
            fields.emplace_back("message", UnpackAscii(payload.subspan(0, 24)));
        }
        break;
    case 13:
        if (payload.size() >= 21) {
            fields.emplace_back("tag", UnpackAscii(payload.subspan(0, 6)));
            fields.emplace_back("descriptor", UnpackAscii(payload.subspan(6, 12)));
            fields.emplace_back("date", std::to_string(payload[18]) + "." + std::to_string(payload[19]) + "." +
                                            std::to_string(1900 + payload[20]));
        }
        break;
    default:
        break;
    }
    return fields;
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

} // namespace hartctl
