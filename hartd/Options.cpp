#include "Options.h"

#include <charconv>
#include <ostream>

#include <CLI/CLI.hpp>

namespace hartd {

namespace {

constexpr int kUsageError = 2;

bool ToNumber(const std::string& text, unsigned long& value)
{
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

} // namespace

std::optional<Listen> ParseListen(const std::string& text, std::string& why)
{
    Listen listen;
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        why = "expected COMn=ADDRESS:PORT, e.g. COM1=127.0.0.1:5094";
        return std::nullopt;
    }
    listen.comName = text.substr(0, equals);
    unsigned long number = 0;
    if (listen.comName.size() < 4 || listen.comName.compare(0, 3, "COM") != 0 ||
        !ToNumber(listen.comName.substr(3), number) || number == 0) {
        why = "'" + listen.comName + "' is not a port name like COM1";
        return std::nullopt;
    }
    const std::string where = text.substr(equals + 1);
    std::string port;
    if (!where.empty() && where[0] == '[') {
        const std::size_t close = where.find(']');
        if (close == std::string::npos || close + 1 >= where.size() || where[close + 1] != ':') {
            why = "an IPv6 address goes in brackets: [::1]:5094";
            return std::nullopt;
        }
        listen.host = where.substr(1, close - 1);
        port = where.substr(close + 2);
    } else {
        const std::size_t colon = where.rfind(':');
        if (colon == std::string::npos || where.find(':') != colon) {
            why = "expected ADDRESS:PORT after '=', e.g. 127.0.0.1:5094";
            return std::nullopt;
        }
        listen.host = where.substr(0, colon);
        port = where.substr(colon + 1);
    }
    if (listen.host.empty()) {
        /* Every interface must be asked for by name (0.0.0.0), never by leaving the address out. */
        why = "the address is missing; give 127.0.0.1, or 0.0.0.0 for every interface";
        return std::nullopt;
    }
    if (!ToNumber(port, number) || number > 65535) {
        why = "'" + port + "' is not a port number (0-65535)";
        return std::nullopt;
    }
    listen.port = static_cast<std::uint16_t>(number);
    return listen;
}

ParseOutcome ParseArguments(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Options options;
    CLI::App app("hartd: serves HartDriver's ports over HART-IP (UDP and TCP)", "hartd");
    app.footer("Without --listen the first port is served on 127.0.0.1:5094.\n"
               "SIGTERM or SIGINT stops it; exit status 0 when it stopped cleanly.");
    auto* sim = app.add_flag("--sim", options.sim, "serve simulated field devices on a line paced in real time");
    app.add_option("--sim-devices", options.simDevices, "field devices on the simulated line (1-15), default 1")
        ->check(CLI::Range(1, 15))
        ->needs(sim);
    app.add_flag("--sim-burst", options.simBurst, "the simulated device at address 0 is in burst mode")->needs(sim);
    app.add_option("--tty", options.ttys, "a terminal with a HART modem, COM1, COM2, ... in order (repeatable)")
        ->excludes(sim)
        ->check(CLI::Validator([](std::string& path) { return path.empty() ? std::string("needs a path") : std::string(); },
                               "PATH", "terminal"));
    app.add_option("--reg", options.regFile, "a .reg file loaded before the driver (DebugLevel, device map)")
        ->check(CLI::ExistingFile);
    std::vector<std::string> listens;
    app.add_option("--listen", listens, "serve COMn on ADDRESS:PORT over UDP and TCP (repeatable)");
    app.add_option("--max-sessions", options.maxSessions, "sessions per endpoint (1-64), default 8")
        ->check(CLI::Range(1, 64));
    app.add_option("--preambles", options.preambles, "preambles put before each request (2-20), default 5")
        ->check(CLI::Range(2, 20));
    app.add_option("--debug", options.debugLevel, "the driver's DebugLevel (its trace on stderr), e.g. 0x21")
        ->transform([](std::string value) {
            /* Trace masks are written in hex, as hartctl takes them. */
            try {
                std::size_t used = 0;
                const unsigned long parsed = std::stoul(value, &used, 0);
                if (used != value.size() || parsed > 0xFFFFFFFFul) {
                    throw std::invalid_argument(value);
                }
                return std::to_string(parsed);
            } catch (const std::exception&) {
                throw CLI::ValidationError("--debug", "not a number: " + value);
            }
        });
    std::string master = "primary";
    app.add_option("--master", master, "the ports' master type on the line: primary (default) or secondary")
        ->check(CLI::IsMember({"primary", "secondary"}));
    app.add_option("--retries", options.retries, "repeats of an unanswered request (0-255), default 2")
        ->check(CLI::Range(0, 255));
    app.add_option("--queue-depth", options.queueDepth, "requests one session may have waiting (1-256), default 16")
        ->check(CLI::Range(1, 256));
    long stallMs = options.stallTimeout.count();
    app.add_option("--stall-timeout-ms", stallMs,
                   "a TCP peer silent for this long inside a message, or without a session, is closed; default 10000")
        ->check(CLI::Range(100L, 3'600'000L));
    long minInactivity = options.bounds.minimum.count();
    long maxInactivity = options.bounds.maximum.count();
    app.add_option("--min-inactivity-ms", minInactivity, "shortest inactivity close time granted, default 1000")
        ->check(CLI::Range(100L, 86'400'000L));
    app.add_option("--max-inactivity-ms", maxInactivity, "longest inactivity close time granted, default 3600000")
        ->check(CLI::Range(100L, 86'400'000L));
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return {std::nullopt, code == 0 ? 0 : kUsageError};
    }
    if (minInactivity > maxInactivity) {
        err << "hartd: --min-inactivity-ms is above --max-inactivity-ms\n";
        return {std::nullopt, kUsageError};
    }
    for (const std::string& text : listens) {
        std::string why;
        std::optional<Listen> listen = ParseListen(text, why);
        if (!listen) {
            err << "hartd: --listen " << text << ": " << why << "\n";
            return {std::nullopt, kUsageError};
        }
        options.listens.push_back(*listen);
    }
    if (options.listens.empty()) {
        options.listens.push_back(Listen{"", "127.0.0.1", hartip::kDefaultPort});
    }
    options.primary = master == "primary";
    options.stallTimeout = std::chrono::milliseconds(stallMs);
    options.bounds.minimum = std::chrono::milliseconds(minInactivity);
    options.bounds.maximum = std::chrono::milliseconds(maxInactivity);
    return {options, 0};
}

} // namespace hartd
