/*
 * Scenarios on a whole simulated HART line: the driver loaded, one or two of
 * its ports as masters, field devices, and whatever else the scenario puts
 * on the line. Clients poll through the port devices with asynchronous
 * requests on the test's thread, so several masters run at once and
 * everything stays on the virtual clock.
 */
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "port/HartIoctl.h"
#include "sim/PortPoller.h"
#include "sim/SimulatedSystem.h"

namespace scenario {

using sim::Bytes;
using sim::Poller;
using sim::Targets;
using platform::Ticks;
using namespace std::chrono_literals;

class ScenarioFixture : public ::testing::Test {
protected:
    void TearDown() override;

    void Boot(const sim::SystemOptions& options);
    /* Opens COM<suffix> as a master: primary, or secondary through SET_PROTOCOL. */
    platform::File OpenMaster(const std::string& suffix, bool primary, std::uint8_t retryCount = 2);
    Poller& AddPoller(const std::string& suffix, bool primary, std::vector<Poller::Target> targets);
    /* Runs every poller until the virtual clock has moved on by duration. */
    void RunPollers(Ticks duration);
    /* Stops the pollers and lets their last writes complete. */
    void DrainPollers();
    /* Every client request so far completed exactly once, and every answer matched. */
    void ExpectCleanCompletions() const;
    /* Runs the pollers for duration, drains them, and expects clean completions, no collision and no time-out. */
    void RunWithoutAFault(Ticks duration);

    std::unique_ptr<sim::SimulatedSystem> system_;
    std::unique_ptr<platform::DebugCapture> debug_;
    platform::File main_;
    std::vector<std::unique_ptr<Poller>> pollers_;
};

/* A line with serial ports COM1.. and field devices at polling addresses 0.. */
sim::SystemOptions Line(int serialPorts, int fieldDevices, bool burstDevice = false, bool scriptedSecondMaster = false);


} // namespace scenario
