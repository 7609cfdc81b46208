/* hartctl's command line: what the user asked for, checked before anything runs. */
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace hartctl {

struct Options {
    /* Where the driver's serial ports come from. */
    bool sim = false;
    int simDevices = 1;
    /* The device at address 0 bursts; scripted primary and secondary masters poll. */
    bool simBurst = false;
    bool simSecondMaster = false;
    std::string tty;
    std::string regFile;
    /* A HART-IP server instead of the driver: HOST[:PORT], over UDP or with tcp over TCP. */
    std::string hartIp;
    bool tcp = false;
    /* COM name of the port to use; empty: the first in the device map. */
    std::string port;
    bool json = false;
    std::optional<std::uint32_t> debugLevel;

    std::string command;

    /* send */
    int address = 0;
    std::string longAddress;
    std::string tag;
    std::string longTag;
    bool shortFrame = false;
    int hartCommand = 0;
    std::vector<std::string> data;
    bool secondary = false;
    std::optional<int> retries;
    int preambles = 5;

    /* identify */
    int lastAddress = 15;

    /* monitor: 0 = no limit */
    double duration = 0;
    int count = 0;

    /* config */
    std::string mode;
    std::string masterType;
    std::string readMask;
    std::optional<std::uint32_t> baudRate;
};

struct ParseOutcome {
    /* Set when the command is to run; otherwise exitCode says how parsing ended (help: 0). */
    std::optional<Options> options;
    int exitCode = 0;
};

/* args without the program's name. Help and errors are written to out and err. */
ParseOutcome ParseArguments(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace hartctl
