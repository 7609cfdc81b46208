#include "app/CommandNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace hart {

namespace {

/* Kept in order of number: FindCommand searches it by halves. */
constexpr CommandInfo kCommands[] = {
    {0, "Read Unique Identifier", "read-unique-identifier"},
    {1, "Read Primary Variable", "read-primary-variable"},
    {2, "Read Loop Current and Percent of Range", "read-loop-current"},
    {3, "Read Dynamic Variables and Loop Current", "read-dynamic-variables"},
    {6, "Write Polling Address", "write-polling-address"},
    {7, "Read Loop Configuration", "read-loop-configuration"},
    {8, "Read Dynamic Variable Classifications", "read-dynamic-variable-classifications"},
    {9, "Read Device Variables with Status", "read-device-variables-with-status"},
    {11, "Read Unique Identifier Associated with Tag", "read-unique-identifier-by-tag"},
    {12, "Read Message", "read-message"},
    {13, "Read Tag, Descriptor, Date", "read-tag-descriptor-date"},
    {14, "Read Primary Variable Transducer Information", "read-transducer-information"},
    {15, "Read Device Information", "read-device-information"},
    {16, "Read Final Assembly Number", "read-final-assembly-number"},
    {17, "Write Message", "write-message"},
    {18, "Write Tag, Descriptor, Date", "write-tag-descriptor-date"},
    {19, "Write Final Assembly Number", "write-final-assembly-number"},
    {20, "Read Long Tag", "read-long-tag"},
    {21, "Read Unique Identifier Associated with Long Tag", "read-unique-identifier-by-long-tag"},
    {22, "Write Long Tag", "write-long-tag"},
    {33, "Read Device Variables", "read-device-variables"},
    {34, "Write Primary Variable Damping Value", "write-pv-damping"},
    {35, "Write Primary Variable Range Values", "write-pv-range"},
    {36, "Set Primary Variable Upper Range Value", "set-pv-upper-range"},
    {37, "Set Primary Variable Lower Range Value", "set-pv-lower-range"},
    {38, "Reset Configuration Changed Flag", "reset-configuration-changed"},
    {39, "EEPROM Control", "eeprom-control"},
    {40, "Enter/Exit Fixed Current Mode", "fixed-current-mode"},
    {41, "Perform Self Test", "self-test"},
    {42, "Perform Device Reset", "device-reset"},
    {43, "Set Primary Variable Zero", "set-pv-zero"},
    {44, "Write Primary Variable Units", "write-pv-units"},
    {45, "Trim Loop Current Zero", "trim-loop-current-zero"},
    {46, "Trim Loop Current Gain", "trim-loop-current-gain"},
    {47, "Write Primary Variable Transfer Function", "write-pv-transfer-function"},
    {48, "Read Additional Device Status", "read-additional-status"},
    {49, "Write Primary Variable Transducer Serial Number", "write-pv-transducer-serial-number"},
    {50, "Read Dynamic Variable Assignments", "read-dynamic-variable-assignments"},
    {51, "Write Dynamic Variable Assignments", "write-dynamic-variable-assignments"},
    {52, "Set Device Variable Zero", "set-device-variable-zero"},
    {53, "Write Device Variable Units", "write-device-variable-units"},
    {54, "Read Device Variable Information", "read-device-variable-information"},
    {55, "Write Device Variable Damping Value", "write-device-variable-damping"},
    {56, "Write Device Variable Transducer Serial Number", "write-device-variable-transducer-serial-number"},
    {57, "Read Unit Tag, Descriptor, Date", "read-unit-tag-descriptor-date"},
    {58, "Write Unit Tag, Descriptor, Date", "write-unit-tag-descriptor-date"},
    {59, "Write Number of Response Preambles", "write-response-preambles"},
    {60, "Read Analog Channel and Percent of Range", "read-analog-channel"},
    {62, "Read Analog Channels", "read-analog-channels"},
    {63, "Read Analog Channel Information", "read-analog-channel-information"},
    {64, "Write Analog Channel Additional Damping Value", "write-analog-channel-damping"},
    {65, "Write Analog Channel Range Values", "write-analog-channel-range"},
    {66, "Enter/Exit Fixed Analog Channel Mode", "fixed-analog-channel-mode"},
    {67, "Trim Analog Channel Zero", "trim-analog-channel-zero"},
    {68, "Trim Analog Channel Gain", "trim-analog-channel-gain"},
    {69, "Write Analog Channel Transfer Function", "write-analog-channel-transfer-function"},
    {70, "Read Analog Channel Endpoint Values", "read-analog-channel-endpoints"},
    {71, "Lock Device", "lock-device"},
    {72, "Squawk", "squawk"},
    {73, "Find Device", "find-device"},
    {74, "Read I/O System Capabilities", "read-io-system-capabilities"},
    {75, "Poll Sub-Device", "poll-sub-device"},
    {76, "Read Lock Device State", "read-lock-state"},
    {77, "Send Command to Sub-Device", "send-to-sub-device"},
    {78, "Read Aggregated Commands", "read-aggregated-commands"},
    {79, "Write Device Variable", "write-device-variable"},
    {80, "Read Device Variable Trim Points", "read-device-variable-trim-points"},
    {81, "Read Device Variable Trim Guidelines", "read-device-variable-trim-guidelines"},
    {82, "Write Device Variable Trim Point", "write-device-variable-trim-point"},
    {83, "Reset Device Variable Trim", "reset-device-variable-trim"},
    {89, "Set Real-Time Clock", "set-real-time-clock"},
    {90, "Read Real-Time Clock", "read-real-time-clock"},
    {95, "Read Device Communications Statistics", "read-communication-statistics"},
    {103, "Write Burst Period", "write-burst-period"},
    {104, "Write Burst Trigger", "write-burst-trigger"},
    {105, "Read Burst Mode Configuration", "read-burst-configuration"},
    {106, "Flush Delayed Responses", "flush-delayed-responses"},
    {107, "Write Burst Device Variables", "write-burst-device-variables"},
    {108, "Write Burst Mode Command Number", "write-burst-command"},
    {109, "Burst Mode Control", "burst-mode-control"},
    {512, "Read Country Code", "read-country-code"},
    {513, "Write Country Code", "write-country-code"},
};

/* Lower case, every run of other characters one dash, none at either end:
   "Read Tag, Descriptor, Date" and "read_tag_descriptor_date" meet. */
std::string Normalized(std::string_view text)
{
    std::string out;
    bool gap = false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            if (gap && !out.empty()) {
                out.push_back('-');
            }
            gap = false;
            out.push_back(static_cast<char>(std::tolower(u)));
        } else {
            gap = true;
        }
    }
    return out;
}

std::optional<std::uint16_t> Decimal(std::string_view text)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint16_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt; /* out of range */
    }
    return number;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::span<const CommandInfo> KnownCommands()
{
    return kCommands;
}

std::optional<CommandInfo> FindCommand(std::uint16_t number)
{
    const auto* found = std::lower_bound(std::begin(kCommands), std::end(kCommands), number,
                                         [](const CommandInfo& e, std::uint16_t n) { return e.number < n; });
    if (found == std::end(kCommands) || found->number != number) {
        return std::nullopt;
    }
    return *found;
}

std::optional<CommandInfo> LookupCommand(std::string_view text)
{
    text = Trimmed(text);
    if (std::optional<std::uint16_t> number = Decimal(text)) {
        return FindCommand(*number);
    }
    const std::string wanted = Normalized(text);
    if (wanted.empty()) {
        return std::nullopt;
    }
    for (const CommandInfo& entry : kCommands) {
        if (wanted == entry.key || wanted == Normalized(entry.name)) {
            return entry;
        }
    }
    return std::nullopt;
}

std::optional<std::uint16_t> ParseCommandNumber(std::string_view text)
{
    if (std::optional<std::uint16_t> number = Decimal(Trimmed(text))) {
        return number;
    }
    std::optional<CommandInfo> entry = LookupCommand(text);
    return entry ? std::optional<std::uint16_t>(entry->number) : std::nullopt;
}

std::string CommandText(std::uint16_t number)
{
    std::optional<CommandInfo> entry = FindCommand(number);
    return entry ? std::string(entry->name) : "command " + std::to_string(number);
}

} // namespace hart
