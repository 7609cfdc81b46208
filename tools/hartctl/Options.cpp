#include "Options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <filesystem>
#include <ostream>

#include <CLI/CLI.hpp>

#include "app/CommandNames.h"
#include "app/Frame.h"
#include "app/Transaction.h"

namespace hartctl {

namespace {

constexpr int kUsageError = 2;
constexpr long kMaxMonitorSeconds = 30L * 24 * 3600;

/* Which device: the same choices for every command that talks to one. */
void AddTargetOptions(CLI::App& command, Options& options)
{
    auto* address = command.add_option("-a,--address", options.address, "polling address (0-63), default 0")
                        ->check(CLI::Range(0, 63));
    auto* longAddress = command.add_option("-l,--long-address", options.longAddress, "long address, 5 bytes in hex")
                            ->excludes(address);
    auto* tag = command.add_option("-t,--tag", options.tag, "the device with this tag (found with command 11)")
                    ->excludes(address, longAddress);
    auto* longTag =
        command.add_option("--long-tag", options.longTag, "the device with this long tag (found with command 21)")
            ->excludes(address, longAddress, tag);
    command
        .add_flag("--short", options.shortFrame,
                  "send to the polling address in a short frame, as a revision-5 device takes any command")
        ->excludes(longAddress, tag, longTag);
}

void AddTransactionOptions(CLI::App& command, Options& options)
{
    command.add_flag("--secondary", options.secondary, "send as the secondary master");
    command.add_option("-r,--retries", options.retries, "repeats after the first attempt (default 2)")
        ->check(CLI::Range(0, 255));
    command
        .add_option("--busy-retries", options.busyRetries,
                    "repeats, " + std::to_string(hart::RepeatLimits{}.delay.count()) +
                        " ms apart, while the device is busy or still working on the command (0-255), default " +
                        std::to_string(hart::RepeatLimits{}.busy))
        ->check(CLI::Range(0, 255));
}

std::string DurationText(std::chrono::milliseconds time)
{
    const long long ms = time.count();
    if (ms % 3'600'000 == 0) {
        return std::to_string(ms / 3'600'000) + "h";
    }
    if (ms % 60'000 == 0) {
        return std::to_string(ms / 60'000) + "min";
    }
    if (ms % 1000 == 0) {
        return std::to_string(ms / 1000) + "s";
    }
    return std::to_string(ms) + "ms";
}

/* A time with its unit, refused outside low to high with the range in the message. */
CLI::Option* AddDurationOption(CLI::App& command, const std::string& name, const std::string& help,
                               std::chrono::milliseconds low, std::chrono::milliseconds high,
                               std::function<void(std::chrono::milliseconds)> store)
{
    const std::string flag = name.substr(name.rfind(',') + 1);
    return command.add_option_function<std::string>(
        name,
        [=](const std::string& text) {
            std::optional<std::chrono::milliseconds> time = ParseDuration(text);
            if (!time || *time < low || *time > high) {
                throw CLI::ValidationError(flag, "wants a time from " + DurationText(low) + " to " +
                                                     DurationText(high) + " with ms, s, min or h (e.g. 500ms, 2s, " +
                                                     "1min): " + text);
            }
            store(*time);
        },
        help);
}

void AddSendOptions(CLI::App& send, Options& options)
{
    send.add_option("COMMAND", options.commandText,
                    "HART command: a number 0-65535 (above 255 through command 31) or a name such as "
                    "read-dynamic-variables")
        ->required();
    send.add_option("DATA", options.data, "data bytes in hex (\"01 02\" or 0102)");
    AddTargetOptions(send, options);
    AddTransactionOptions(send, options);
    send.add_option("--preambles", options.preambles, "preambles before the request (2-20), default 5")
        ->check(CLI::Range(2, 20));
}

constexpr auto kMaxRunTime = std::chrono::milliseconds(kMaxMonitorSeconds * 1000);

void AddPollOptions(CLI::App& poll, Options& options)
{
    poll.add_option("WHAT", options.pollWhat,
                    "pv (command 1), current (2: loop current and percent of range), dynamic (3: loop current and "
                    "the dynamic variables), vars CODES (9: one to eight device variables)")
        ->required()
        ->check(CLI::IsMember({"pv", "current", "dynamic", "vars"}));
    poll.add_option("CODES", options.variableCodes, "device variable codes for vars (0-255), e.g. 0 1 2 or 0,1,2")
        ->check(CLI::Range(0, 255))
        ->delimiter(',');
    AddTargetOptions(poll, options);
    AddTransactionOptions(poll, options);
    AddDurationOption(poll, "--every", "time from one read to the next (100ms to 24h), default 1s",
                      std::chrono::milliseconds(100), std::chrono::hours(24),
                      [&options](std::chrono::milliseconds time) { options.every = time; });
    AddDurationOption(poll, "--duration", "stop after this long (at most 720h)", std::chrono::milliseconds(1),
                      kMaxRunTime,
                      [&options](std::chrono::milliseconds time) { options.duration = time.count() / 1000.0; });
    poll.add_option("--count", options.count, "stop after this many reads")->check(CLI::PositiveNumber);
}

void AddBurstOptions(CLI::App& burst, Options& options)
{
    burst.add_option("ACTION", options.burstAction,
                     "on (commands 103, 107, 108 and 109 as asked), off (109), or show (the burst frames as they "
                     "arrive)")
        ->required()
        ->check(CLI::IsMember({"on", "off", "show"}));
    AddTargetOptions(burst, options);
    AddTransactionOptions(burst, options);
    burst
        .add_option_function<std::string>(
            "--command",
            [&options](const std::string& text) {
                std::optional<std::uint16_t> number = hart::ParseCommandNumber(text);
                if (!number) {
                    throw CLI::ValidationError("--command", "wants a command number 0-65535 or a name such as "
                                                            "read-dynamic-variables: " + text);
                }
                options.burstCommand = *number;
            },
            "on: the command the device publishes (a number or a name), e.g. 3 or read-dynamic-variables");
    AddDurationOption(burst, "--period", "on: the time between burst messages (100ms to 1h)",
                      std::chrono::milliseconds(100), std::chrono::hours(1),
                      [&options](std::chrono::milliseconds time) { options.burstPeriod = time; });
    burst.add_option("--variables", options.variableCodes, "on: device variable codes the burst message carries "
                                                           "(for commands 9 and 33), e.g. 0,1,2")
        ->check(CLI::Range(0, 255))
        ->delimiter(',');
    burst.add_option("--message", options.burstMessage, "burst message of a revision-7 device (0-255), default 0")
        ->check(CLI::Range(0, 255));
    AddDurationOption(burst, "--duration", "show: stop after this long (at most 720h)",
                      std::chrono::milliseconds(1), kMaxRunTime,
                      [&options](std::chrono::milliseconds time) { options.duration = time.count() / 1000.0; });
    burst.add_option("--count", options.count, "show: stop after this many burst frames")->check(CLI::PositiveNumber);
}

/* Known commands whose key shares a word with what was typed: "read-pv" finds read-primary-variable. */
std::vector<std::string> Suggestions(const std::string& typed)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : typed + " ") {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!word.empty()) {
            /* "read" and "write" would suggest half the table. */
            if (word.size() >= 3 && word != "read" && word != "write") {
                words.push_back(word);
            }
            word.clear();
        }
    }
    std::vector<std::string> found;
    for (const hart::CommandInfo& command : hart::KnownCommands()) {
        const std::string key = command.key;
        const bool shares = std::any_of(words.begin(), words.end(), [&](const std::string& w) {
            return key.find(w) != std::string::npos;
        });
        if (shares && found.size() < 6) {
            found.push_back(key + " (" + std::to_string(command.number) + ")");
        }
    }
    return found;
}

bool IsOption(const std::string& arg)
{
    return !arg.empty() && arg[0] == '-';
}

/* The arguments before and after the command, without the values of the program's options that take one. */
std::vector<std::string> WithoutValues(const CLI::App& app, const std::vector<std::string>& args)
{
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < args.size(); i++) {
        const CLI::Option* option = IsOption(args[i]) ? app.get_option_no_throw(args[i]) : nullptr;
        if (option != nullptr && option->get_items_expected_min() > 0) {
            i++;
        } else {
            kept.push_back(args[i]);
        }
    }
    return kept;
}

/* The first argument that is neither an option nor a global option's value: the command. */
std::optional<std::string> FirstWord(const CLI::App& app, const std::vector<std::string>& args)
{
    for (const std::string& arg : WithoutValues(app, args)) {
        if (!IsOption(arg)) {
            return arg;
        }
    }
    return std::nullopt;
}

/*
 * The first option that the program does not know. The parser asks for the
 * missing command before it looks at such an option, and "no command given"
 * alone would hide the typing error the user made.
 */
std::optional<std::string> UnknownOption(const CLI::App& app, const std::vector<std::string>& args)
{
    for (const std::string& arg : WithoutValues(app, args)) {
        if (!IsOption(arg) || arg.size() < 2) {
            continue;
        }
        /* "--tty=/dev/x" and "-pCOM1" name their option before the value. */
        const std::string name = arg[1] == '-' ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
        if (app.get_option_no_throw(name) == nullptr) {
            return arg;
        }
    }
    return std::nullopt;
}

/* A usage error: said on err, exit status 2. */
ParseOutcome Refuse(std::ostream& err, const std::string& message)
{
    err << "hartctl: " << message << "\n";
    return {std::nullopt, kUsageError};
}

std::optional<std::string> CheckTarget(const Options& options)
{
    if (!options.longAddress.empty()) {
        auto id = hart::ParseHex(options.longAddress);
        if (!id || id->size() != 5) {
            return "--long-address wants 5 bytes in hex, e.g. 26 06 10 00 00";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckSend(Options& options)
{
    std::optional<std::uint16_t> number = hart::ParseCommandNumber(options.commandText);
    if (!number) {
        const std::string& text = options.commandText;
        if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return "COMMAND: " + text + " is not a command number (0-65535)";
        }
        std::string message = "COMMAND: no command is named '" + text + "'";
        std::vector<std::string> similar = Suggestions(text);
        if (!similar.empty()) {
            message += "; did you mean";
            for (std::size_t i = 0; i < similar.size(); i++) {
                message += (i == 0 ? " " : ", ") + similar[i];
            }
            message += "?";
        } else {
            message += "; give a number 0-65535 or a name such as read-primary-variable or read-dynamic-variables";
        }
        return message;
    }
    options.hartCommand = *number;
    std::size_t dataBytes = 0;
    for (const std::string& bytes : options.data) {
        std::optional<hart::Bytes> parsed = hart::ParseHex(bytes);
        if (!parsed) {
            return "data bytes must be hex, e.g. 01 or \"01 02\": " + bytes;
        }
        dataBytes += parsed->size();
    }
    /* Command 31 carries the expanded command's number in two of them. */
    const std::size_t room = hart::kMaxDataBytes - (options.hartCommand > 0xFF ? 2 : 0);
    if (dataBytes > room) {
        return "a request for command " + std::to_string(options.hartCommand) + " carries at most " +
               std::to_string(room) + " data bytes, not " + std::to_string(dataBytes);
    }
    return std::nullopt;
}

std::optional<std::string> CheckPoll(const Options& options)
{
    if (options.pollWhat == "vars") {
        if (options.variableCodes.empty() || options.variableCodes.size() > 8) {
            return "poll vars wants one to eight device variable codes, e.g. vars 0 1 2";
        }
    } else if (!options.variableCodes.empty()) {
        return "poll " + options.pollWhat + " takes no device variable codes; they are for poll vars";
    }
    return std::nullopt;
}

std::optional<std::string> CheckBurst(const Options& options, const CLI::App& burst)
{
    auto given = [&](const char* name) { return burst.count(name) > 0; };
    const bool on = options.burstAction == "on";
    const bool show = options.burstAction == "show";
    for (const char* name : {"--command", "--period", "--variables"}) {
        if (!on && given(name)) {
            return std::string(name) + " is for burst on, not burst " + options.burstAction;
        }
    }
    for (const char* name : {"--duration", "--count"}) {
        if (!show && given(name)) {
            return std::string(name) + " is for burst show, not burst " + options.burstAction;
        }
    }
    if (show) {
        for (const char* name : {"--address", "--long-address", "--tag", "--long-tag", "--short", "--message"}) {
            if (given(name)) {
                return std::string(name) + ": burst show prints the burst frames of every device on the line";
            }
        }
    }
    if (options.variableCodes.size() > 8) {
        return "--variables takes at most eight device variable codes";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::chrono::milliseconds> ParseDuration(const std::string& text)
{
    std::size_t digits = 0;
    bool point = false;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) ||
                                    (text[digits] == '.' && !point))) {
        point = point || text[digits] == '.';
        digits++;
    }
    const std::string number = text.substr(0, digits);
    const std::string unit = text.substr(digits);
    if (number.empty() || number == "." || number.size() > 12) {
        return std::nullopt;
    }
    double scale = 0;
    if (unit == "ms") {
        scale = 1;
    } else if (unit == "s" || unit.empty()) {
        scale = 1000;
    } else if (unit == "min") {
        scale = 60'000;
    } else if (unit == "h") {
        scale = 3'600'000;
    } else {
        return std::nullopt;
    }
    /* At most twelve characters of digits: the product stays far inside a long long. */
    const double milliseconds = std::round(std::stod(number) * scale);
    return std::chrono::milliseconds(static_cast<long long>(milliseconds));
}

ParseOutcome ParseArguments(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Options options;
    CLI::App app("hartctl: talk to HART field devices through HartDriver", "hartctl");
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Exit status: 0 on success, 1 when an operation failed, 2 for a usage error,\n"
               "3 when the device answered with an error response code.");

    auto* sim = app.add_flag("--sim", options.sim, "use the embedded simulated line with field devices");
    app.add_option("--sim-devices", options.simDevices, "field devices on the simulated line (1-15), default 1")
        ->check(CLI::Range(1, 15));
    app.add_flag("--sim-burst", options.simBurst, "the simulated device at address 0 is in burst mode")
        ->needs(sim);
    app.add_flag("--sim-second-master", options.simSecondMaster,
                 "scripted primary and secondary masters poll the simulated devices")
        ->needs(sim);
    app.add_option("--tty", options.tty, "use this terminal as COM1 (e.g. /dev/ttyUSB0)")
        ->excludes(sim)
        ->check(CLI::Validator(
            [](std::string& path) -> std::string {
                /* An empty path would leave hartctl to the system's ports, which is not what was asked. */
                if (path.empty()) {
                    return "needs the path of a terminal, e.g. /dev/ttyUSB0";
                }
                std::error_code error;
                if (std::filesystem::is_directory(path, error)) {
                    return path + " is a directory, not a terminal";
                }
                return {};
            },
            "PATH"));
    app.add_option("--reg", options.regFile, "load this .reg file first (service key values, device map entries)")
        ->check(CLI::ExistingFile);
    auto* port = app.add_option("-p,--port", options.port, "COM name of the port to use (default: the first one)");
    auto* hartIp = app.add_option("--hart-ip", options.hartIp,
                                  "talk to a HART-IP server at HOST[:PORT] (port 5094 by default) instead of the driver")
                       ->excludes(sim)
                       ->excludes(port)
                       ->excludes("--tty")
                       ->excludes("--reg");
    app.add_flag("--tcp", options.tcp, "reach the HART-IP server over TCP rather than UDP")->needs(hartIp);
    app.add_flag("--json", options.json, "print machine-readable JSON");
    app.add_option("--debug", options.debugLevel, "driver DebugLevel (trace mask), e.g. 0x21")
        ->transform([](std::string value) {
            try {
                std::size_t used = 0;
                unsigned long parsed = std::stoul(value, &used, 0);
                if (used != value.size() || parsed > 0xFFFFFFFFul) {
                    throw std::invalid_argument(value);
                }
                return std::to_string(parsed);
            } catch (const std::exception&) {
                throw CLI::ValidationError("--debug", "not a number: " + value);
            }
        });

    auto* ports = app.add_subcommand("ports", "list the serial device map and the port devices");
    auto* send = app.add_subcommand("send", "send one command, by number or name, and decode the answer");
    AddSendOptions(*send, options);
    auto* poll = app.add_subcommand("poll", "read variables on an interval and print CSV or JSON lines");
    AddPollOptions(*poll, options);
    auto* burst = app.add_subcommand("burst", "start or stop a device's burst mode, or show its burst frames");
    AddBurstOptions(*burst, options);
    auto* identify = app.add_subcommand("identify", "poll addresses with command 0 and list the devices found");
    identify->add_option("--last", options.lastAddress, "last polling address to try (0-63), default 15")
        ->check(CLI::Range(0, 63));
    identify->add_option("-r,--retries", options.retries, "repeats per address (default 0)")->check(CLI::Range(0, 255));
    auto* monitor = app.add_subcommand("monitor", "print every frame on the line until interrupted");
    monitor->add_option("--duration", options.duration, "stop after this many seconds (at most 30 days)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                /* nan would never end, and a time past the clock's range would end at once. */
                double seconds = 0;
                if (!CLI::detail::lexical_cast(text, seconds) || !std::isfinite(seconds) || seconds <= 0 ||
                    seconds > kMaxMonitorSeconds) {
                    return "wants seconds above 0 and at most " + std::to_string(kMaxMonitorSeconds) +
                           " (30 days): " + text;
                }
                return {};
            },
            "SECONDS"));
    monitor->add_option("--count", options.count, "stop after this many frames")->check(CLI::PositiveNumber);
    auto* config = app.add_subcommand("config", "read and set the port's protocol settings");
    config->add_option("--mode", options.mode, "master or slave (slave cannot be left again)")
        ->check(CLI::IsMember({"master", "slave"}));
    config->add_option("--master-type", options.masterType, "primary or secondary")
        ->check(CLI::IsMember({"primary", "secondary"}));
    config->add_option("-r,--retries", options.retries, "repeats after the first attempt")->check(CLI::Range(0, 255));
    config->add_option("--read-mask", options.readMask, "frames that reach reads, in hex (0x77: all)");
    config->add_option("--baud", options.baudRate, "bit rate of the serial port")->check(CLI::PositiveNumber);

    const std::vector<CLI::App*> commands{ports, send, poll, burst, identify, monitor, config};
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        /* Help of the command asked about, not of the whole program. */
        for (CLI::App* sub : commands) {
            if (sub->parsed()) {
                out << sub->help();
                return {std::nullopt, 0};
            }
        }
        return {std::nullopt, app.exit(e, out, err)};
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return {std::nullopt, app.exit(e, out, err)};
        }
        std::optional<std::string> word = FirstWord(app, args);
        auto named = [&](const CLI::App* sub) { return sub->get_name() == *word; };
        if (word && std::none_of(commands.begin(), commands.end(), named)) {
            err << "hartctl: unknown command '" << *word << "'\n";
        } else if (!word) {
            if (std::optional<std::string> unknown = UnknownOption(app, args)) {
                err << "hartctl: unknown option '" << *unknown << "'\n";
            }
            err << "hartctl: no command given: ports, send, poll, burst, identify, monitor or config\n";
        } else {
            err << "hartctl: " << e.what() << "\n";
        }
        err << "Run 'hartctl --help' for the commands and their options.\n";
        return {std::nullopt, kUsageError};
    }
    for (CLI::App* sub : commands) {
        if (sub->parsed()) {
            options.command = sub->get_name();
        }
    }
    if (!options.hartIp.empty() && options.command != "send" && options.command != "identify" &&
        options.command != "monitor") {
        return Refuse(err, options.command + " needs the driver; over --hart-ip there are send, identify and monitor");
    }
    std::optional<std::string> problem;
    if (options.command == "send" || options.command == "poll" || options.command == "burst") {
        problem = CheckTarget(options);
    }
    if (!problem && options.command == "send") {
        problem = CheckSend(options);
    } else if (!problem && options.command == "poll") {
        problem = CheckPoll(options);
    } else if (!problem && options.command == "burst") {
        problem = CheckBurst(options, *burst);
    }
    if (problem) {
        return Refuse(err, *problem);
    }
    if (options.command == "config" && !options.readMask.empty()) {
        auto mask = hart::ParseHex(options.readMask);
        if (!mask || mask->size() != 1) {
            return Refuse(err, "--read-mask wants one byte in hex, e.g. 0x77");
        }
    }
    return {std::move(options), 0};
}

} // namespace hartctl
