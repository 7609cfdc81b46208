/* hartctl's command line: what the user asked for, checked before anything runs. */
#pragma once

#include <chrono>
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

    /* Set when err is a terminal: identify tells there how far its scan has come. */
    bool progress = false;

    /* send, poll and burst: which device */
    int address = 0;
    std::string longAddress;
    std::string tag;
    std::string longTag;
    bool shortFrame = false;
    /* send: the command as typed (a number or a name), and its number */
    std::string commandText;
    int hartCommand = 0;
    std::vector<std::string> data;
    bool secondary = false;
    std::optional<int> retries;
    /* Repeats while the device is busy or works on a delayed response; unset: the transactor's default. */
    std::optional<int> busyRetries;
    int preambles = 5;

    /* identify */
    int lastAddress = 15;

    /* monitor, poll and burst show: 0 = no limit */
    double duration = 0;
    int count = 0;

    /* poll: what to read (pv, current, dynamic, vars), the device variable codes for vars, how often */
    std::string pollWhat;
    std::vector<int> variableCodes;
    std::chrono::milliseconds every{1000};

    /* burst: on, off or show; the command and period to publish, the burst message */
    std::string burstAction;
    std::optional<int> burstCommand;
    std::optional<std::chrono::milliseconds> burstPeriod;
    int burstMessage = 0;

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

/* "500ms", "1.5s", "2min", "1h", or plain seconds ("30"); nullopt for anything else, a negative
   time, or one too long to count in milliseconds. */
std::optional<std::chrono::milliseconds> ParseDuration(const std::string& text);

/* args without the program's name. Help and errors are written to out and err. */
ParseOutcome ParseArguments(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace hartctl
