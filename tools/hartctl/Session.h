/*
 * Where hartctl's driver runs: the embedded simulated line (--sim), one
 * terminal registered as COM1 (--tty), or the system's serial ports. Each
 * way loads the driver from its service key, adds and starts the main
 * device and hands out the main device and a port device, as a client
 * program would open them. Everything runs on the calling thread, which
 * owns the host: a synchronous request runs the dispatcher until it is done.
 */
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <platform/Host.h>
#include <platform/IoManager.h>

#include "Options.h"

namespace sim {
class SimulatedSystem;
class ScriptedStation;
} // namespace sim

namespace tools {
class ProgramHost;
} // namespace tools

namespace hartctl {

/* A failed step: the status and a plain sentence about it. */
struct Failure {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string sentence;
};

const char* StatusName(NTSTATUS status);

struct MapEntry {
    std::string deviceName; /* \Device\Serial0 */
    std::string comName;    /* COM1 */
    std::string path;       /* the terminal behind it, when there is one */
};

class Session {
public:
    /* Builds the host and loads the driver. realTime: the simulated line runs on
       the wall clock (an unbounded monitor), not as fast as it can. */
    explicit Session(const Options& options, bool realTime = false);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /* Loading failed: why. */
    const std::optional<Failure>& LoadFailure() const { return loadFailure_; }

    platform::Host& Host() { return *host_; }
    bool Simulated() const { return system_ != nullptr; }
    /* The simulated line and its devices (--sim); null otherwise. */
    sim::SimulatedSystem* Simulation() { return system_; }

    std::vector<MapEntry> SerialMap();
    /* Opens the main device (once), which creates the port devices. */
    std::optional<Failure> OpenMain();
    /* Opens the main device, then the port device of comName (empty: the first in the map). */
    std::optional<Failure> OpenPort(const std::string& comName, platform::File& port, std::string& opened);
    bool PortDeviceExists(const std::string& comName);
    /* The bit rate the serial port behind comName runs at now, as the port
       itself (the terminal, or the simulated UART) holds it; nullopt when
       there is no such port. */
    std::optional<ULONG> SerialBaudRate(const std::string& comName);

    /* On the simulated line, a secondary master that polls device 0 now and then, so that
       a monitor has traffic to show. */
    void StartOtherMaster();

private:
    void PollAsOtherMaster();

    std::unique_ptr<tools::ProgramHost> hosting_;
    sim::SimulatedSystem* system_ = nullptr;
    platform::Host* host_ = nullptr;
    std::unique_ptr<sim::ScriptedStation> otherMaster_;
    std::optional<Failure> loadFailure_;
    platform::File main_;
    std::map<std::string, std::string> ttyPaths_;
    bool loaded_ = false;
};

} // namespace hartctl
