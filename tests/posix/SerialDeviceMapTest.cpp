/* The system's serial ports as the device map lists them, from a sysfs tree made for the test. */
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <platform/Host.h>
#include <platform/SerialDeviceMap.h>

namespace {

namespace fs = std::filesystem;

class SysfsTree {
public:
    SysfsTree() : root_(fs::temp_directory_path() / ("hart-sysfs-" + std::to_string(::getpid())))
    {
        fs::remove_all(root_);
        fs::create_directories(root_ / "drivers");
    }
    ~SysfsTree() { fs::remove_all(root_); }

    /* A tty; with a driver it is a port, with a type file it is a serial-core port. */
    void Add(const std::string& name, const std::string& driver, const std::string& type = "")
    {
        fs::path tty = root_ / "class" / name;
        fs::create_directories(tty);
        if (!driver.empty()) {
            fs::create_directories(root_ / "drivers" / driver);
            fs::create_directories(tty / "device");
            fs::create_directory_symlink(root_ / "drivers" / driver, tty / "device" / "driver");
        }
        if (!type.empty()) {
            std::ofstream(tty / "type") << type << "\n";
        }
    }
    std::string Class() const { return (root_ / "class").string(); }

private:
    fs::path root_;
};

TEST(SerialDeviceMapTest, PortsWithADriverGetStableComNames)
{
    SysfsTree tree;
    tree.Add("ttyUSB1", "ftdi_sio");
    tree.Add("ttyS0", "serial8250", "4");
    tree.Add("ttyS1", "serial8250", "0"); /* no UART behind it */
    tree.Add("tty0", "");                 /* a virtual console */
    tree.Add("ttyACM0", "cdc_acm");
    tree.Add("ttyXY3", "xy_serial");
    std::vector<platform::SystemSerialPort> ports = platform::ListSystemSerialPorts(tree.Class(), "/dev");
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0].comName, "COM1");
    EXPECT_EQ(ports[0].path, "/dev/ttyS0");
    EXPECT_EQ(ports[0].driver, "serial8250");
    EXPECT_EQ(ports[1].comName, "COM102") << "ttyUSB1 keeps its number whether or not ttyUSB0 is there";
    EXPECT_EQ(ports[2].comName, "COM201");
    EXPECT_EQ(ports[3].comName, "COM1001");
    EXPECT_EQ(ports[3].kernelName, "ttyXY3");

    EXPECT_EQ(platform::StableComName("ttyS12"), "COM13");
    EXPECT_EQ(platform::StableComName("ttyS"), "");
    EXPECT_EQ(platform::StableComName("ttyUSB0x"), "");
    EXPECT_TRUE(platform::ListSystemSerialPorts(tree.Class() + "/missing").empty());
}

TEST(SerialDeviceMapTest, ConfigurationNamesWinAndAddTerminals)
{
    platform::Host host;
    platform::Registry& registry = host.GetRegistry();
    ASSERT_TRUE(registry.LoadText("[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
                                  "\"\\\\Device\\\\ttyUSB0\"=\"COM7\"\n"
                                  "\"\\\\Device\\\\ttyAMA0\"=\"COM9\"\n"));
    std::vector<platform::SystemSerialPort> system{{"ttyUSB0", "/dev/ttyUSB0", "ftdi_sio", "COM101"},
                                                   {"ttyS0", "/dev/ttyS0", "serial8250", "COM1"}};
    std::vector<platform::SystemSerialPort> registered = platform::RegisterSystemSerialPorts(host, system);
    ASSERT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered[0].comName, "COM7") << "the configuration's name is kept";
    EXPECT_EQ(platform::RegisterMappedTtys(host), 1u) << "ttyAMA0 only came from the configuration";
    EXPECT_TRUE(host.ObjectNameExists(u"\\Device\\ttyAMA0"));
    EXPECT_EQ(registry.GetString(platform::kSerialCommKey, "\\Device\\ttyUSB0"), "COM7");
    EXPECT_EQ(registry.GetString(platform::kSerialCommKey, "\\Device\\ttyS0"), "COM1");
}

TEST(SerialDeviceMapTest, AnAdapterIsFoundAgainByItsLinkUnderAnotherName)
{
    const fs::path root = fs::temp_directory_path() / ("hart-by-id-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "by-id");
    for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyS0"}) {
        std::ofstream(root / tty) << "";
    }
    fs::create_symlink(root / "ttyUSB0", root / "by-id" / "usb-FTDI_FT232R_A1-if00-port0");
    fs::create_symlink(root / "ttyUSB0", root / "by-id" / "usb-FTDI_FT232R_A1-if00");
    fs::create_symlink(root / "ttyUSB1", root / "by-id" / "usb-Prolific_B2-if00-port0");
    const std::string byId = (root / "by-id").string();

    EXPECT_EQ(platform::StableTtyPath((root / "ttyUSB0").string(), byId), byId + "/usb-FTDI_FT232R_A1-if00")
        << "the first link by name, so that every run picks the same";
    EXPECT_EQ(platform::StableTtyPath((root / "ttyUSB1").string(), byId), byId + "/usb-Prolific_B2-if00-port0");
    EXPECT_EQ(platform::StableTtyPath((root / "ttyS0").string(), byId), (root / "ttyS0").string()) << "no link";
    EXPECT_EQ(platform::StableTtyPath((root / "ttyUSB9").string(), byId), (root / "ttyUSB9").string()) << "gone";
    EXPECT_EQ(platform::StableTtyPath((root / "ttyUSB0").string(), (root / "missing").string()),
              (root / "ttyUSB0").string());
    fs::remove_all(root);
}

} // namespace
