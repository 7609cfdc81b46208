/*
 * The whole system on the simulated line: a host with the driver loaded
 * from its service key, its main device added and started, serial ports on
 * one HART line, and field devices on that line. What the demo, the
 * end-to-end tests, the benchmarks and hartctl's --sim mode run on.
 */
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <platform/Host.h>
#include <platform/IoManager.h>

#include "link/HartDeviceContext.h"
#include "sim/FieldDevice.h"
#include "sim/HartLine.h"
#include "sim/LineMonitor.h"
#include "sim/ScriptedMaster.h"
#include "sim/SimulatedSerialPort.h"

namespace sim {

struct SystemOptions {
    platform::Clock clock = platform::Clock::Virtual;
    /* Serial ports on the line: \Device\Serial0 as COM1, \Device\Serial1 as COM2, ... */
    int serialPorts = 1;
    /* Field devices on the line, at polling addresses 0, 1, 2, ... */
    int fieldDevices = 1;
    /* Universal revision of the field devices (5 or 7). */
    std::uint8_t universalRevision = 7;
    /* The device at polling address 0 publishes command 1 in burst mode. */
    bool burstDevice = false;
    /* A scripted secondary master that keeps the timing and polls command 1
       of every device from the start (a second driver port as the other
       master is opened and driven by the client instead). */
    bool scriptedSecondMaster = false;
    /* A scripted primary master as well, for a line whose driver port only
       listens (hartctl monitor): both masters' traffic is then on the line. */
    bool scriptedPrimaryMaster = false;
    /* A .reg text loaded before the driver (service key values, more device-map entries). */
    std::string registry;
};

class SimulatedSystem {
public:
    explicit SimulatedSystem(const SystemOptions& options = {});
    ~SimulatedSystem();
    SimulatedSystem(const SimulatedSystem&) = delete;
    SimulatedSystem& operator=(const SimulatedSystem&) = delete;

    /* DriverEntry, then the main device added and started; the first failure. */
    NTSTATUS Load();
    /* The main device removed and the driver unloaded. */
    void Unload();

    /* The main device through its device interface. */
    platform::IoManager::OpenResult OpenMain();
    /* A port device through its symbolic link, by the text after COM ("1" for COM1). */
    platform::IoManager::OpenResult OpenPort(const std::string& suffix);
    static std::u16string PortLinkName(const std::string& suffix);
    /* COM<suffix> opened as a master through IOCTL_HART_SET_PROTOCOL, primary
       or secondary (with the second instance's timing, see below), repeating
       unanswered requests retryCount times. The status is the open's, or the
       control request's when the open succeeded. */
    platform::IoManager::OpenResult OpenMaster(const std::string& suffix, bool primary, std::uint8_t retryCount = 2);

    platform::Host& Host() { return *host_; }
    HartLine& Line() { return *line_; }
    SimulatedSerialPort& SerialPort(int index) { return *serialPorts_.at(static_cast<size_t>(index)); }
    FieldDevice& Device(int index) { return *devices_.at(static_cast<size_t>(index)); }
    int DeviceCount() const { return static_cast<int>(devices_.size()); }
    /* Every frame on the line, as a monitor clipped onto the loop sees it. */
    LineMonitor& Monitor() { return *monitor_; }
    /* Null unless SystemOptions::scriptedSecondMaster / scriptedPrimaryMaster. */
    ScriptedMaster* SecondMaster() { return scriptedMaster_.get(); }
    ScriptedMaster* PrimaryMaster() { return scriptedPrimary_.get(); }
    /* The record of the port device of COM<suffix>; null when there is none
       (before the main device was first opened). Dispatcher thread only. */
    PHARTDEVICE_CONTEXT PortRecord(const std::string& suffix);
    /* The second master on a line is another driver instance on another
       computer, whose registry gives it the secondary master's timing (a
       longer quiet time and answer wait, so that the two never start
       together). Both ports here share one driver and its one timing set,
       so this gives the port of COM<suffix> the set that instance's port
       would have copied: RT1DIFF 8, QUIETTIME 42, BGTIMESTART 308,
       BGTIMEERROR 306. Call it before the port is opened; false when the
       port does not exist. */
    bool UseSecondInstanceTiming(const std::string& suffix);

private:
    std::unique_ptr<platform::Host> host_;
    std::unique_ptr<HartLine> line_;
    std::vector<std::shared_ptr<SimulatedSerialPort>> serialPorts_;
    std::vector<std::unique_ptr<FieldDevice>> devices_;
    std::unique_ptr<LineMonitor> monitor_;
    std::unique_ptr<ScriptedMaster> scriptedMaster_;
    std::unique_ptr<ScriptedMaster> scriptedPrimary_;
    bool loaded_ = false;
};

} // namespace sim
