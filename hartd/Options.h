/* hartd's command line, checked before anything is loaded. */
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "HartIp.h"

namespace hartd {

struct Listen {
    std::string comName;  /* COM1; empty: the first port */
    std::string host;     /* 127.0.0.1, ::1, 0.0.0.0 */
    std::uint16_t port = hartip::kDefaultPort; /* 0: one the system picks, the same for UDP and TCP */
};

struct Options {
    bool sim = false;
    int simDevices = 1;
    bool simBurst = false;
    std::vector<std::string> ttys;
    std::string regFile;
    std::vector<Listen> listens;
    std::size_t maxSessions = 8;
    int preambles = 5;
    std::optional<std::uint32_t> debugLevel;
    /* The port's master type on the line; every frame goes out with its bit. */
    bool primary = true;
    /* Repeats of an unanswered request before the device counts as silent. */
    int retries = 2;
    /* Requests one session may have waiting for the line. */
    std::size_t queueDepth = 16;
    /* A TCP connection that sends half a message, or no session initiate, for this long is closed. */
    std::chrono::milliseconds stallTimeout{10'000};
    hartip::InactivityBounds bounds;
};

struct ParseOutcome {
    std::optional<Options> options;
    int exitCode = 0;
};

/* "COM1=127.0.0.1:5094", "COM2=[::1]:5094"; nullopt (and why) when malformed. */
std::optional<Listen> ParseListen(const std::string& text, std::string& why);

ParseOutcome ParseArguments(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace hartd
