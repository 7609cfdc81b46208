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

#include "sim/FieldDevice.h"
#include "sim/HartLine.h"
#include "sim/SimulatedSerialPort.h"

namespace sim {

struct SystemOptions {
    platform::Clock clock = platform::Clock::Virtual;
    /* Serial ports on the line: \Device\Serial0 as COM1, \Device\Serial1 as COM2, ... */
    int serialPorts = 1;
    /* Field devices on the line, at polling addresses 0, 1, 2, ... */
    int fieldDevices = 1;
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

    platform::Host& Host() { return *host_; }
    HartLine& Line() { return *line_; }
    SimulatedSerialPort& SerialPort(int index) { return *serialPorts_.at(static_cast<size_t>(index)); }
    FieldDevice& Device(int index) { return *devices_.at(static_cast<size_t>(index)); }

private:
    std::unique_ptr<platform::Host> host_;
    std::unique_ptr<HartLine> line_;
    std::vector<std::shared_ptr<SimulatedSerialPort>> serialPorts_;
    std::vector<std::unique_ptr<FieldDevice>> devices_;
    bool loaded_ = false;
};

} // namespace sim
