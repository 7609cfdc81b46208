/*
 * Where a program (hartctl, hartd) runs the driver: in the simulated
 * system's host, or in a host of its own on the real clock, with a .reg file
 * loaded before the driver in either. Registering serial ports is left to
 * the program, since each has its own rules for naming them.
 */
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <platform/Host.h>

#include "sim/SimulatedSystem.h"

namespace tools {

class ProgramHost {
public:
    /* simulated: the simulated system to run (its registry is the .reg file's), or none for a host of its own. */
    ProgramHost(const std::string& regFile, std::optional<sim::SystemOptions> simulated);
    ProgramHost(const ProgramHost&) = delete;
    ProgramHost& operator=(const ProgramHost&) = delete;

    /* Why it could not be set up; empty when it is ready. */
    const std::string& Failure() const { return failure_; }
    /* Null when it could not be set up. */
    platform::Host* Host() { return host_; }
    /* Null unless simulated. */
    sim::SimulatedSystem* System() { return system_.get(); }

private:
    std::unique_ptr<sim::SimulatedSystem> system_;
    std::unique_ptr<platform::Host> ownHost_;
    platform::Host* host_ = nullptr;
    std::string failure_;
};

} // namespace tools
