#include "app/Addressing.h"

namespace hart {

Target Target::Polling(std::uint8_t polling, bool shortFrame)
{
    Target target;
    target.polling = polling;
    target.shortFrame = shortFrame;
    return target;
}

Target Target::Long(const Address& address)
{
    Target target;
    target.kind = Kind::LongAddress;
    target.longAddress = address;
    return target;
}

Target Target::ByTag(std::string tag)
{
    Target target;
    target.kind = Kind::Tag;
    target.tag = std::move(tag);
    return target;
}

Target Target::ByLongTag(std::string longTag)
{
    Target target;
    target.kind = Kind::LongTag;
    target.tag = std::move(longTag);
    return target;
}

Directory::Directory(Ask ask, bool primaryMaster) : ask_(std::move(ask)), primaryMaster_(primaryMaster)
{
}

std::string Directory::KeyOf(const Target& target) const
{
    switch (target.kind) {
    case Target::Kind::Polling:
        return "polling " + std::to_string(target.polling);
    case Target::Kind::LongAddress:
        return "long " + target.longAddress.Text();
    case Target::Kind::Tag:
        /* Packed ASCII has no lower case: "tt-101" and "TT-101" are one tag. */
        return "tag " + UnpackAscii(PackAscii(target.tag, 6).value_or(Bytes{}));
    case Target::Kind::LongTag:
        return "long tag " + target.tag;
    }
    return {};
}

void Directory::Learn(const Target& target, const Identity& identity)
{
    known_[KeyOf(target)] = identity;
}

std::optional<Identity> Directory::Known(const Target& target) const
{
    auto it = known_.find(KeyOf(target));
    return it != known_.end() ? std::optional<Identity>(it->second) : std::nullopt;
}

bool Directory::Forget(const Target& target)
{
    return known_.erase(KeyOf(target)) != 0;
}

std::optional<Identity> Directory::Identify(const Target& target, std::string& why)
{
    if (std::optional<Identity> known = Known(target)) {
        return known;
    }
    Request request;
    request.primaryMaster = primaryMaster_;
    std::string asked;
    switch (target.kind) {
    case Target::Kind::Polling:
        request.address = Address::Polling(target.polling);
        request.command = 0;
        asked = "command 0 at polling address " + std::to_string(target.polling);
        break;
    case Target::Kind::Tag:
    case Target::Kind::LongTag: {
        const bool longTag = target.kind == Target::Kind::LongTag;
        std::optional<Command> command =
            longTag ? ReadUniqueIdentifierByLongTag(target.tag) : ReadUniqueIdentifierByTag(target.tag);
        if (!command) {
            why = longTag ? "the long tag '" + target.tag + "' is longer than 32 characters"
                          : "the tag '" + target.tag + "' is not 8 characters of packed ASCII (' ' to '_')";
            return std::nullopt;
        }
        request.address = Address::Broadcast();
        request.command = command->number;
        request.data = command->data;
        asked = "command " + std::to_string(command->number) + (longTag ? " for the long tag '" : " for the tag '") +
                target.tag + "'";
        break;
    }
    case Target::Kind::LongAddress:
        return std::nullopt;
    }
    std::optional<Frame> answer = ask_(request);
    std::optional<Identity> identity = answer ? DecodeIdentity(answer->Payload()) : std::nullopt;
    if (!identity) {
        why = "no device identified itself to " + asked;
        return std::nullopt;
    }
    Learn(target, *identity);
    return identity;
}

std::optional<Address> Directory::Route(const Target& target, std::uint16_t command, std::string& why)
{
    switch (target.kind) {
    case Target::Kind::LongAddress:
        return target.longAddress;
    case Target::Kind::Polling:
        if (command == 0 || target.shortFrame) {
            return Address::Polling(target.polling);
        }
        break;
    case Target::Kind::Tag:
        if (command == 11) {
            return Address::Broadcast();
        }
        break;
    case Target::Kind::LongTag:
        if (command == 21) {
            return Address::Broadcast();
        }
        break;
    }
    std::optional<Identity> identity = Identify(target, why);
    if (!identity) {
        return std::nullopt;
    }
    return identity->LongAddress();
}

} // namespace hart
