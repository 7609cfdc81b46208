#include "Options.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ostream>

#include <CLI/CLI.hpp>

#include "app/Frame.h"

namespace hartctl {

namespace {

constexpr int kUsageError = 2;
constexpr long kMaxMonitorSeconds = 30L * 24 * 3600;

void AddSendOptions(CLI::App& send, Options& options)
{
    send.add_option("COMMAND", options.hartCommand, "HART command number (0-65535; above 255 through command 31)")
        ->required()
        ->check(CLI::Range(0, 65535));
    send.add_option("DATA", options.data, "data bytes in hex (\"01 02\" or 0102)");
    auto* address = send.add_option("-a,--address", options.address, "polling address (0-63), default 0")
                        ->check(CLI::Range(0, 63));
    auto* longAddress =
        send.add_option("-l,--long-address", options.longAddress, "long address, 5 bytes in hex")->excludes(address);
    auto* tag = send.add_option("-t,--tag", options.tag, "the device with this tag (found with command 11)")
                    ->excludes(address, longAddress);
    auto* longTag =
        send.add_option("--long-tag", options.longTag, "the device with this long tag (found with command 21)")
            ->excludes(address, longAddress, tag);
    send.add_flag("--short", options.shortFrame,
                  "send to the polling address in a short frame, as a revision-5 device takes any command")
        ->excludes(longAddress, tag, longTag);
    send.add_flag("--secondary", options.secondary, "send as the secondary master");
    send.add_option("-r,--retries", options.retries, "repeats after the first attempt (default 2)")
        ->check(CLI::Range(0, 255));
    send.add_option("--preambles", options.preambles, "preambles before the request (2-20), default 5")
        ->check(CLI::Range(2, 20));
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

} // namespace

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
    auto* send = app.add_subcommand("send", "send one command and decode the answer");
    AddSendOptions(*send, options);
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

    const std::vector<CLI::App*> commands{ports, send, identify, monitor, config};
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
            err << "hartctl: no command given: ports, send, identify, monitor or config\n";
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
        err << "hartctl: " << options.command << " needs the driver; over --hart-ip there are send, identify and monitor\n";
        return {std::nullopt, kUsageError};
    }
    if (options.command == "send") {
        if (!options.longAddress.empty()) {
            auto id = hart::ParseHex(options.longAddress);
            if (!id || id->size() != 5) {
                err << "hartctl: --long-address wants 5 bytes in hex, e.g. 26 06 10 00 00\n";
                return {std::nullopt, kUsageError};
            }
        }
        std::size_t dataBytes = 0;
        for (const std::string& bytes : options.data) {
            std::optional<hart::Bytes> parsed = hart::ParseHex(bytes);
            if (!parsed) {
                err << "hartctl: data bytes must be hex, e.g. 01 or \"01 02\": " << bytes << "\n";
                return {std::nullopt, kUsageError};
            }
            dataBytes += parsed->size();
        }
        /* Command 31 carries the expanded command's number in two of them. */
        const std::size_t room = hart::kMaxDataBytes - (options.hartCommand > 0xFF ? 2 : 0);
        if (dataBytes > room) {
            err << "hartctl: a request for command " << options.hartCommand << " carries at most " << room
                << " data bytes, not " << dataBytes << "\n";
            return {std::nullopt, kUsageError};
        }
    }
    if (options.command == "config" && !options.readMask.empty()) {
        auto mask = hart::ParseHex(options.readMask);
        if (!mask || mask->size() != 1) {
            err << "hartctl: --read-mask wants one byte in hex, e.g. 0x77\n";
            return {std::nullopt, kUsageError};
        }
    }
    return {std::move(options), 0};
}

} // namespace hartctl
