/* Every length the driver checks, at its limit and one step past it on either side. */
#include "SystemFixture.h"

namespace drivertest {
namespace {

constexpr char kDeviceMap[] = R"(\Registry\Machine\Hardware\DeviceMap\SERIALCOMM)";

class BoundaryTest : public SystemFixture {
protected:
    platform::IoResult Init(const Bytes& description)
    {
        return main_.DeviceControl(IOCTL_HART_MODEM_INIT, description, 0);
    }
    bool PortExists(const std::u16string& suffix)
    {
        platform::Host& host = system_->Host();
        return host.ObjectNameExists(std::u16string(HART_PORT_DEVICE_NAME_PREFIX) + suffix) &&
               host.ObjectNameExists(std::u16string(HART_PORT_LINK_NAME_PREFIX) + suffix);
    }
    /* A COM name in the device map, terminated as the system writes it. */
    void MapEntry(const std::string& serialName, const std::u16string& comName)
    {
        Bytes data;
        for (char16_t c : comName + u'\0') {
            data.push_back(static_cast<std::uint8_t>(c));
            data.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        system_->Host().GetRegistry().SetValue(kDeviceMap, serialName, REG_SZ, data);
    }
};

TEST_F(BoundaryTest, PortControlBuffersAtTheirMinimumAndOneByteEitherSide)
{
    platform::File port = BootAndOpen();
    platform::ClientEvent event = system_->Host().Io().CreateEvent();
    struct Limit {
        ULONG code;
        Bytes input;
        std::size_t output;
    };
    const Limit limits[] = {
        {IOCTL_HART_GET_PROTOCOL, Bytes(4), 4},
        {IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x80, 2}, 0},
        {IOCTL_HART_GET_READ_MASK, Bytes(1), 1},
        {IOCTL_HART_SET_READ_MASK, Bytes{HART_RCV_MASK_ACK}, 0},
        {IOCTL_HART_SET_BAUD_RATE, Bytes{0xB0, 0x04, 0, 0}, 0},
        {IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, HandleBytes(event), 0},
    };
    for (const Limit& limit : limits) {
        Bytes shorter(limit.input.begin(), limit.input.end() - 1);
        Bytes longer = limit.input;
        longer.push_back(0);
        EXPECT_FALSE(NT_SUCCESS(port.DeviceControl(limit.code, shorter, limit.output).status)) << std::hex << limit.code;
        EXPECT_EQ(port.DeviceControl(limit.code, limit.input, limit.output).status, STATUS_SUCCESS) << std::hex << limit.code;
        auto result = port.DeviceControl(limit.code, longer, limit.output + 1);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << limit.code;
        EXPECT_EQ(result.information, limit.output) << std::hex << limit.code;
        if (limit.output != 0) {
            EXPECT_EQ(port.DeviceControl(limit.code, limit.input, limit.output - 1).status, STATUS_BUFFER_TOO_SMALL);
        }
    }
    EXPECT_EQ(port.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, Bytes{}, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(port.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, Bytes{0, 0}, 0).status, STATUS_SUCCESS);
    /* The unused code between the known ones, and each device's codes sent to the other. */
    const ULONG notForThePort[] = {HART_CTL_CODE(0x392), IOCTL_HART_ENUMERATE_DEVICES, IOCTL_HART_MODEM_INIT};
    for (ULONG code : notForThePort) {
        EXPECT_EQ(port.DeviceControl(code, Bytes(4), 4).status, STATUS_NOT_SUPPORTED) << std::hex << code;
    }
    const ULONG notForTheMain[] = {HART_CTL_CODE(0x392), IOCTL_HART_GET_PROTOCOL};
    for (ULONG code : notForTheMain) {
        EXPECT_EQ(main_.DeviceControl(code, Bytes(4), 4).status, STATUS_NOT_SUPPORTED) << std::hex << code;
    }
    EXPECT_EQ(port.Write(Request(0, 0)).status, STATUS_SUCCESS) << "the settings written above are the defaults";
}

TEST_F(BoundaryTest, ModemInitNamesAtTheirLimits)
{
    Boot();
    main_ = std::move(system_->OpenMain().file);
    const std::u16string serial = u"\\Device\\Serial0";
    EXPECT_EQ(main_.DeviceControl(IOCTL_HART_MODEM_INIT, Bytes(519), 0).status, STATUS_BUFFER_TOO_SMALL);
    Bytes longer = ModemInit(serial, u"COM8");
    longer.resize(longer.size() + 4096, 0xEE);
    EXPECT_EQ(Init(longer).status, STATUS_SUCCESS) << "a page more is read only as far as the description goes";
    EXPECT_TRUE(PortExists(u"8"));
    EXPECT_EQ(Init(ModemInit(serial, u"COM1")).status, STATUS_OBJECT_NAME_COLLISION);

    /* The COM name: "COM" and its terminator at the least, 162 bytes at the most. */
    EXPECT_EQ(Init(ModemInit(serial, u"CO")).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Init(ModemInit(serial, u"COM")).status, STATUS_SUCCESS);
    EXPECT_TRUE(PortExists(u""));
    const std::u16string longest(77, u'7');
    EXPECT_EQ(Init(ModemInit(serial, u"COM" + longest + u"8")).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(PortExists(longest + u"8"));
    EXPECT_EQ(Init(ModemInit(serial, u"COM" + longest)).status, STATUS_SUCCESS);
    EXPECT_TRUE(PortExists(longest)) << "the whole suffix is in both names";

    /* The serial port's name: 256 bytes at the most, all of them used to open it. */
    const std::u16string name128 = u"\\Device\\" + std::u16string(120, u'N');
    EXPECT_EQ(Init(ModemInit(name128, u"COM5", 0, 258)).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(PortExists(u"5"));
    EXPECT_EQ(Init(ModemInit(name128, u"COM5")).status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(Record("5").SerialPortName), name128);
    EXPECT_EQ(Init(ModemInit(name128.substr(0, 127), u"COM6")).status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(Record("6").SerialPortName), name128.substr(0, 127));
    EXPECT_EQ(system_->OpenPort("5").status, STATUS_OBJECT_NAME_NOT_FOUND) << "no serial port of that name";

    /* Half a character at the end of either name is refused. */
    EXPECT_EQ(Init(ModemInit(serial, u"COM9", 9)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Init(ModemInit(serial, u"COM9", 0, 31)).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(PortExists(u"9"));
}

/* One device-map entry is read into 272 bytes: header, name, then the COM name 4-byte aligned. */
TEST_F(BoundaryTest, DeviceMapEntryThatJustFitsBecomesAPortAndOnePastIsSkipped)
{
    Boot();
    const std::string name120 = R"(\Device\)" + std::string(112, 'S');
    MapEntry(name120, u"COM12");         /* 20 + 240 + 12 = 272 */
    MapEntry(name120 + "T", u"COM13");   /* 20 + 242, aligned 264, + 12 */
    MapEntry(name120.substr(0, 119) + "U", u"COM123"); /* 20 + 240 + 14 */
    MapEntry(R"(\Device\Last)", u"COM14");
    main_ = std::move(system_->OpenMain().file);
    EXPECT_TRUE(PortExists(u"12"));
    EXPECT_EQ(std::u16string(Record("12").SerialPortName), std::u16string(name120.begin(), name120.end()));
    EXPECT_FALSE(PortExists(u"13"));
    EXPECT_FALSE(PortExists(u"123"));
    EXPECT_TRUE(PortExists(u"14")) << "the walk goes on past an entry that does not fit";
    EXPECT_TRUE(PortExists(u"1"));
}

/* Names beyond ASCII pass through the driver as they are; value names are found in any case. */
TEST_F(BoundaryTest, NamesBeyondAsciiKeepTheirCharacters)
{
    Boot({.registry = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\HartDriver]\n"
                      "\"rt1primary\"=dword:00000028\n\"QuietTime\"=dword:0000002a\n"});
    EXPECT_EQ(HartGetDriverContext(system_->Host().Driver())->Rt1Primary, 40);
    EXPECT_EQ(HartGetDriverContext(system_->Host().Driver())->QuietTime, 42);
    auto serial = std::make_shared<sim::SimulatedSerialPort>(system_->Line(), "COMÉ");
    struct Unplug {
        sim::SimulatedSerialPort& port;
        ~Unplug() { port.Disconnect(); }
    } unplug{*serial};
    ASSERT_TRUE(NT_SUCCESS(system_->Host().RegisterLowerDevice(u"\\Device\\Sérial9", serial)));
    MapEntry("\\Device\\Sérial9", u"COMÉß");
    main_ = std::move(system_->OpenMain().file);
    auto port = system_->Host().Io().Open(std::u16string(HART_PORT_LINK_NAME_PREFIX) + u"Éß");
    ASSERT_TRUE(NT_SUCCESS(port.status)) << std::hex << port.status;
    EXPECT_EQ(port.file.Write(Request(0, 0)).status, STATUS_SUCCESS) << "through the serial port found by that name";
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u);
    port.file.Close();
    main_.Close();
}

} // namespace
} // namespace drivertest
