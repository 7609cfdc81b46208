/*
 * The system's serial ports as the driver's serial device map lists them:
 * every tty under /sys/class/tty that has a driver behind it, with a COM
 * name that stays the same for the same kernel name from one run to the
 * next.
 */
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ntddk.h>

namespace platform {

class Host;
class Registry;

struct SystemSerialPort {
    std::string kernelName; /* ttyUSB0 */
    std::string path;       /* /dev/ttyUSB0 */
    std::string driver;     /* the kernel driver's name: ftdi_sio, serial8250, ... */
    std::string comName;    /* COM101 */
};

/*
 * COM names by kernel name: ttyS<n> is COM<n+1>, ttyUSB<n> COM<101+n>,
 * ttyACM<n> COM<201+n>, ttyAMA<n> COM<301+n>, ttyXRUSB<n> COM<401+n>.
 * Empty for any other name; those get the numbers from 1001 on in the
 * order of their kernel names (ListSystemSerialPorts).
 */
std::string StableComName(std::string_view kernelName);

/* The ports under sysClassTty (a test gives a tree of its own), sorted by COM number.
   A serial-core port whose type is 0 (no UART found at its address) is left out. */
std::vector<SystemSerialPort> ListSystemSerialPorts(const std::string& sysClassTty = "/sys/class/tty",
                                                    const std::string& devDirectory = "/dev");

/*
 * A path that finds the same adapter again when it comes back under another
 * kernel name (unplugged, then plugged in while its old name was still taken):
 * the link under byIdDirectory that points to path, the first by name when
 * several do; path itself when none does, as for a built-in UART.
 */
std::string StableTtyPath(const std::string& path, const std::string& byIdDirectory = "/dev/serial/by-id");

/* One entry of the serial device map: the serial device and the COM name it is listed under. */
struct SerialMapEntry {
    std::string deviceName; /* \Device\Serial0 */
    std::string comName;    /* COM1 */
};

/* The serial device map as the registry holds it now; empty when there is no map. */
std::vector<SerialMapEntry> ReadSerialDeviceMap(Registry& registry);

/* Registers a PosixSerialPort for each port as \Device\<kernel name> and lists it
   in the serial device map, unless the map names that device already (a .reg
   file loaded before keeps its COM name). The ports registered. */
std::vector<SystemSerialPort> RegisterSystemSerialPorts(Host& host, const std::vector<SystemSerialPort>& ports);

/* Device-map entries of the form \Device\<tty name> without a device behind them
   (from a .reg file) get a PosixSerialPort for /dev/<tty name>. Their count. */
std::size_t RegisterMappedTtys(Host& host, const std::string& devDirectory = "/dev");

} // namespace platform
