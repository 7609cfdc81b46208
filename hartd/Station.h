/*
 * The driver as hartd hosts it: one host on the real clock, the driver
 * loaded once from its service key, the main device opened through its
 * interface and port devices opened through their links, as any client
 * program of the driver opens them. The serial ports come from --tty, the
 * system's device map, or the simulated line (--sim). Everything here runs
 * on the thread that owns the host.
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
} // namespace sim

namespace tools {
class ProgramHost;
} // namespace tools

namespace hartd {

struct PortEntry {
    std::string comName;
    std::string path; /* the terminal; empty on the simulated line */
};

class Station {
public:
    explicit Station(const Options& options);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    /* Why the driver did not load; empty when it did. */
    const std::string& LoadFailure() const { return failure_; }
    platform::Host& Host() { return *host_; }

    /* The serial ports in the device map, in its order. */
    std::vector<PortEntry> Ports();
    /* The port device of comName; a sentence on failure. */
    std::optional<std::string> OpenPort(const std::string& comName, platform::File& port);

    /* A terminal of comName that went away and is there again (its path
       opens, a udev link pointing anew): registered as the same serial
       device and COM name, and the driver told of it, so that its port
       device comes back. False when there is nothing to bring back. */
    bool Replug(const std::string& comName);

    /* Closes the main device, removes it and unloads the driver; the
       framework objects left afterwards (0 when all went as it should). */
    std::size_t Unload();

private:
    std::unique_ptr<tools::ProgramHost> hosting_;
    sim::SimulatedSystem* system_ = nullptr;
    platform::Host* host_ = nullptr;
    platform::File main_;
    std::map<std::string, std::string> ttyPaths_;
    struct Terminal {
        std::string deviceName; /* \Device\Serial0 */
        std::string path;
    };
    /* By COM name, kept when a removal takes the entry out of the device map. */
    std::map<std::string, Terminal> terminals_;
    std::string failure_;
    bool loaded_ = false;
};

} // namespace hartd
