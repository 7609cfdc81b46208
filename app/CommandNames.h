/*
 * Commands by name: the number, the name people read ("Read Dynamic Variables
 * and Loop Current") and a key for command lines ("read-dynamic-variables"),
 * for the universal commands and the common-practice ones in wide use.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hart {

struct CommandInfo {
    std::uint16_t number;
    const char* name;
    const char* key;
};

/* Every command named here, by number. */
std::span<const CommandInfo> KnownCommands();

std::optional<CommandInfo> FindCommand(std::uint16_t number);
/* By key, by name or by number as decimal text, in any case and with spaces,
   underscores or dashes between the words: "write-pv-units", "Write_PV_Units",
   "write primary variable units" and "44" all find command 44. */
std::optional<CommandInfo> LookupCommand(std::string_view text);
/* The number LookupCommand finds, or any number 0 to 65535 written in
   decimal, named here or not; nullopt for anything else. */
std::optional<std::uint16_t> ParseCommandNumber(std::string_view text);

/* The name, or "command N". */
std::string CommandText(std::uint16_t number);

} // namespace hart
