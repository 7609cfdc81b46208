/* hartctl run in-process, as its tests run it: its exit status and what it printed. */
#pragma once

#include <gmock/gmock.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Session.h"
#include "sim/SimulatedSystem.h"

namespace hartctltest {

using ::testing::HasSubstr;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

using Setup = std::function<void(sim::SimulatedSystem&)>;

inline Outcome Hartctl(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = hartctl::Run(args, out, err);
    return {status, out.str(), err.str()};
}

/* hartctl on the virtual-clock simulated line: setup before the run, check after it, tweak the parsed options. */
inline Outcome OnLine(const std::vector<std::string>& args, const Setup& setup = {}, const Setup& check = {},
                      const std::function<void(hartctl::Options&)>& tweak = {})
{
    std::ostringstream out;
    std::ostringstream err;
    hartctl::ParseOutcome parsed = hartctl::ParseArguments(args, out, err);
    if (!parsed.options) {
        return {parsed.exitCode, out.str(), err.str()};
    }
    if (tweak) {
        tweak(*parsed.options);
    }
    hartctl::Session session(*parsed.options);
    if (setup) {
        setup(*session.Simulation());
    }
    const int status = hartctl::RunCommand(session, *parsed.options, out, err);
    if (check) {
        check(*session.Simulation());
    }
    return {status, out.str(), err.str()};
}

} // namespace hartctltest
