#include "sim/HartFrame.h"

namespace sim {

std::size_t HeaderLength(std::uint8_t delimiter)
{
    std::size_t expansion = (delimiter >> 5) & 3;
    switch (delimiter & 0x9F) {
    case 0x02:
    case 0x06:
        return expansion + 3;
    case 0x81:
    case 0x82:
    case 0x86:
        return expansion + 7;
    default:
        return 0;
    }
}

std::uint8_t CheckByte(const Bytes& body)
{
    std::uint8_t check = 0;
    for (auto b : body) {
        check ^= b;
    }
    return check;
}

Bytes HartFrame::Encode() const
{
    Bytes bytes;
    bytes.reserve(4 + address.size() + expansion.size() + data.size());
    bytes.push_back(delimiter);
    bytes.insert(bytes.end(), address.begin(), address.end());
    bytes.insert(bytes.end(), expansion.begin(), expansion.end());
    bytes.push_back(command);
    bytes.push_back(static_cast<std::uint8_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::uint8_t check = CheckByte(bytes);
    bytes.push_back(checkByteOk ? check : static_cast<std::uint8_t>(check ^ 0xA5));
    return bytes;
}

Bytes OnLine(const HartFrame& frame, int preambles)
{
    Bytes bytes(static_cast<std::size_t>(preambles), kPreamble);
    Bytes body = frame.Encode();
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

void FrameParser::Reset()
{
    state_ = State::Preamble;
    preambles_ = 0;
    frame_.clear();
    broken_ = false;
}

std::optional<HartFrame> FrameParser::Take(std::uint8_t character, platform::Ticks at, bool garbled)
{
    if (last_.count() >= 0 && at - last_ > gap_) {
        Reset();
    }
    last_ = at;
    broken_ = broken_ || garbled;
    switch (state_) {
    case State::Preamble:
        if (character == kPreamble && !garbled) {
            preambles_++;
            return std::nullopt;
        }
        if (preambles_ < 2 || HeaderLength(character) == 0) {
            Reset();
            return std::nullopt;
        }
        frame_.assign(1, character);
        headerLength_ = HeaderLength(character);
        state_ = State::Header;
        return std::nullopt;
    case State::Header:
        frame_.push_back(character);
        if (frame_.size() == headerLength_ + 1) {
            dataLength_ = character;
            state_ = dataLength_ == 0 ? State::Check : State::Data;
        }
        return std::nullopt;
    case State::Data:
        frame_.push_back(character);
        if (frame_.size() == headerLength_ + 1 + dataLength_) {
            state_ = State::Check;
        }
        return std::nullopt;
    case State::Check:
        break;
    }
    HartFrame frame;
    frame.delimiter = frame_[0];
    std::size_t addressLength = frame.IsLong() ? 5 : 1;
    std::size_t expansionLength = (frame.delimiter >> 5) & 3;
    frame.address.assign(frame_.begin() + 1, frame_.begin() + 1 + static_cast<long>(addressLength));
    auto expansionStart = frame_.begin() + 1 + static_cast<long>(addressLength);
    frame.expansion.assign(expansionStart, expansionStart + static_cast<long>(expansionLength));
    frame.command = frame_[1 + addressLength + expansionLength];
    frame.data.assign(frame_.begin() + static_cast<long>(headerLength_ + 1), frame_.end());
    frame.checkByteOk = !broken_ && CheckByte(frame_) == character;
    Reset();
    return frame;
}

} // namespace sim
