/*
 * Which address a request goes to. Command 0 is asked at a polling address
 * in a short frame, and commands 11 and 21 at the broadcast address; every
 * other command goes to the device's long address, which the host learns
 * from one of those three and keeps for the rest of its session. Devices of
 * revision 6 and later answer nothing else in a short frame; a revision-5
 * device still may, and a caller can ask for that.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "app/Frame.h"
#include "app/Universal.h"

namespace hart {

/* How the user named the device. */
struct Target {
    enum class Kind { Polling, LongAddress, Tag, LongTag };
    Kind kind = Kind::Polling;
    std::uint8_t polling = 0;
    Address longAddress;
    /* The tag (8 characters of packed ASCII) or the long tag (32 of ISO Latin-1). */
    std::string tag;
    /* Every command to the polling address in a short frame, as revision-5 devices take them. */
    bool shortFrame = false;

    static Target Polling(std::uint8_t polling, bool shortFrame = false);
    static Target Long(const Address& address);
    static Target ByTag(std::string tag);
    static Target ByLongTag(std::string longTag);
};

/*
 * The session's memory of the devices it has identified, and the rules
 * above. ask sends one request and gives back its answer when one came
 * with response code 0; the directory uses it to identify a device it has
 * not met yet.
 */
class Directory {
public:
    using Ask = std::function<std::optional<Frame>(const Request&)>;

    Directory(Ask ask, bool primaryMaster);

    /* The address for command to target; nullopt, and why, when the device cannot be found. */
    std::optional<Address> Route(const Target& target, std::uint16_t command, std::string& why);
    /* Remembers what a command 0, 11 or 21 answered, however it was asked. */
    void Learn(const Target& target, const Identity& identity);
    /* What the session knows of the device target names. */
    std::optional<Identity> Known(const Target& target) const;
    /* The device no longer answers at the long address the session keeps for
       it (another device took its polling address or tag): the next Route
       identifies it again. True when there was something to forget. */
    bool Forget(const Target& target);

private:
    std::optional<Identity> Identify(const Target& target, std::string& why);
    std::string KeyOf(const Target& target) const;

    Ask ask_;
    bool primaryMaster_;
    std::map<std::string, Identity> known_;
};

} // namespace hart
