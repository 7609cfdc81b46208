/*
 * The driver on the simulated line, taken the real road: loaded from its
 * service key, main device added and started, opened by a client through
 * its interface, port devices opened through their links.
 */
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "link/HartTrace.h"
#include "port/HartIoctl.h"
#include "sim/SimulatedSystem.h"

namespace drivertest {

using sim::Bytes;
using namespace std::chrono_literals;

class SystemFixture : public ::testing::Test {
protected:
    void TearDown() override;

    /* Builds the system; the driver is loaded and the main device started. */
    void Boot(const sim::SystemOptions& options = {});
    /* Opens the main device, then the port of COM<suffix>. */
    platform::File OpenMainAndPort(const std::string& suffix = "1");
    /* Opens the port of COM<suffix>, which must succeed. */
    platform::File OpenPort(const std::string& suffix = "1");
    /* Boots as it comes and opens COM1. */
    platform::File BootAndOpen()
    {
        Boot();
        return OpenMainAndPort();
    }

    /* A command request to a field device at a polling address, preambles and check byte included. */
    static Bytes Request(std::uint8_t pollingAddress, std::uint8_t command, const Bytes& data = {});
    /* IOCTL_HART_MODEM_INIT's input; the lengths are the names' unless given. */
    static Bytes ModemInit(const std::u16string& serial, const std::u16string& com, std::uint32_t comBytes = 0,
                           std::uint32_t serialBytes = 0);
    /* A client event's handle as IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE takes it. */
    static Bytes HandleBytes(const platform::ClientEvent& event);
    int CountTrace(const std::string& text) const;
    /* Runs the line in steps of 1 ms until done() holds; false when limit passed first. */
    bool RunUntil(const std::function<bool()>& done, platform::Ticks limit = std::chrono::seconds(10));
    /* The port record of COM<suffix>, which must exist. */
    HARTDEVICE_CONTEXT& Record(const std::string& suffix = "1");

    std::unique_ptr<sim::SimulatedSystem> system_;
    std::unique_ptr<platform::DebugCapture> debug_;
    platform::File main_;
};

/* Booted as it comes, with the port of COM1 open. */
class OpenPortFixture : public SystemFixture {
protected:
    void SetUp() override
    {
        port_ = BootAndOpen();
    }

    platform::File port_;
};

} // namespace drivertest
