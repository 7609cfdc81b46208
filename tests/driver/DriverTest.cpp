/* Driver entry, the main device and the enumeration of the serial device map. */
#include "SystemFixture.h"

#include "driver/HartDriver.h"

namespace drivertest {
namespace {

constexpr char kServiceKey[] = R"([HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\HartDriver])";
constexpr char kDeviceMap[] = R"(\Registry\Machine\Hardware\DeviceMap\SERIALCOMM)";

using DriverTest = SystemFixture;

PDRIVER_CONTEXT DriverRecord(sim::SimulatedSystem& system)
{
    return HartGetDriverContext(system.Host().Driver());
}

TEST_F(DriverTest, TimingDefaultsAndOverridesFromTheServiceKey)
{
    Boot({.registry = std::string(kServiceKey) + "\n\"RT1PRIMARY\"=dword:00000028\n\"HOLD\"=dword:00010005\n"
                                                 "\"GAP\"=hex:05\n\"TIMEINTERVAL\"=dword:fffcf2c0\n"});
    PDRIVER_CONTEXT record = DriverRecord(*system_);
    EXPECT_EQ(record->Rt1Primary, 40);
    EXPECT_EQ(record->QuietTime, 40) << "QUIETTIME defaults to the value read for RT1PRIMARY";
    EXPECT_EQ(record->Hold, 5) << "only the low 16 bits are kept";
    EXPECT_EQ(record->Gap, 5) << "a one-byte value is that byte";
    EXPECT_EQ(record->BgTimeStart, 298);
    EXPECT_EQ(record->MissedTransmitWindow, 77);
    EXPECT_EQ(record->TimeInterval, -200000);
}

TEST_F(DriverTest, TimingValuesThatCannotWorkAreReplacedByTheirDefaults)
{
    Boot({.registry = std::string(kServiceKey) +
                      "\n\"DebugLevel\"=dword:00000001\n\"RT1PRIMARY\"=dword:00000000\n\"HOLD\"=dword:00000000\n"
                      "\"GAP\"=dword:00010000\n\"MISSEDTRANSMITWINDOW\"=dword:0000ffff\n\"RT2\"=dword:00000009\n"
                      "\"RT1DIFF\"=dword:00000000\n\"RT1SECONDARY\"=dword:00000001\n"});
    PDRIVER_CONTEXT record = DriverRecord(*system_);
    EXPECT_EQ(record->Rt1Primary, 34) << "no answer wait would ever start";
    EXPECT_EQ(record->QuietTime, 34);
    EXPECT_EQ(record->Hold, 3);
    EXPECT_EQ(record->Gap, 3) << "0x10000 leaves nothing in the low half";
    EXPECT_EQ(record->MissedTransmitWindow, 77) << "eleven minutes of waiting";
    EXPECT_EQ(record->Rt2, 9) << "a value that works is kept";
    EXPECT_EQ(record->Rt1Diff, 0) << "no wait is what RT1DIFF 0 means";
    EXPECT_EQ(record->Rt1Secondary, 1) << "a value no operation reads has no least value to fall under";
    EXPECT_EQ(record->TimeInterval, -100000);
    for (const char* name : {"RT1PRIMARY", "HOLD", "GAP", "MISSEDTRANSMITWINDOW"}) {
        EXPECT_EQ(CountTrace(std::string("HartReadTimingValues: ") + name), 1) << name;
    }
    platform::File port = OpenMainAndPort();
    system_->Device(0).Config().silent = true;
    EXPECT_EQ(port.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
}

TEST_F(DriverTest, TimingValuesAtTheirBoundsAreKeptAndOnePastIsReplaced)
{
    Boot({.registry = std::string(kServiceKey) + "\n\"RT2\"=dword:00000001\n\"BGTIMESTART\"=dword:00001770\n"
                                                 "\"BGTIMEERROR\"=dword:00001771\n\"RT1PRIMARY\"=dword:00000028\n"
                                                 "\"QUIETTIME\"=dword:0000002a\n"});
    PDRIVER_CONTEXT record = DriverRecord(*system_);
    EXPECT_EQ(record->Rt2, 1) << "one tick is the least wait that starts";
    EXPECT_EQ(record->BgTimeStart, 6000) << "a minute is the longest wait";
    EXPECT_EQ(record->BgTimeError, 296) << "one tick past it is replaced";
    EXPECT_EQ(record->QuietTime, 42) << "a quiet time of its own wins over RT1PRIMARY's";
}

TEST_F(DriverTest, DebugLevelDecidesWhatIsPrintedAndTheBanner)
{
    Boot({.registry = std::string(kServiceKey) + "\n\"DebugLevel\"=dword:00000081\n"});
    EXPECT_EQ(TraceMask, 0x81u);
    EXPECT_EQ(CountTrace("\t\tHART Driver"), 1);
    debug_->Clear();
    OpenMainAndPort();
    EXPECT_GE(CountTrace("HartDriver: HartMainEvtDeviceFileCreate: pDeviceContext->lDeviceCount: 0"), 1);
    EXPECT_EQ(CountTrace("HartEvtDeviceFileCreate >>>>"), 0) << "entry markers are level 2";
}

TEST_F(DriverTest, DeviceMapEntriesBecomePortDevices)
{
    Boot({.serialPorts = 0, .registry = {}});
    platform::Registry& registry = system_->Host().GetRegistry();
    auto com = [&](const char* name, std::u16string text, bool terminated = true) {
        Bytes data;
        for (char16_t c : text) {
            data.push_back(static_cast<std::uint8_t>(c));
            data.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        if (terminated) {
            data.insert(data.end(), {0, 0});
        }
        registry.SetValue(kDeviceMap, name, REG_SZ, data);
    };
    com(R"(\Device\Serial2)", u"COM7");
    com("VCP0", u"COM9");
    com(R"(\Device\Bare)", u"COM");
    com(R"(\Device\X)", u"COMX12");
    com(R"(\Device\Lower)", u"com3");
    com(R"(\Device\Printer)", u"LPT1");
    com(R"(\Device\Console)", u"CON2");
    com(R"(\Device\Short)", u"CO");
    com(R"(\Device\NoNul)", u"COM4", false);
    com(R"(\Device\Long)", u"COM5" + std::u16string(200, u'5'));
    auto first = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(first.status)) << "the first open enumerates";
    main_ = std::move(first.file);
    platform::Host& host = system_->Host();
    auto exists = [&](std::u16string suffix) {
        return host.ObjectNameExists(std::u16string(HART_PORT_DEVICE_NAME_PREFIX) + suffix) &&
               host.ObjectNameExists(std::u16string(HART_PORT_LINK_NAME_PREFIX) + suffix);
    };
    EXPECT_TRUE(exists(u"7"));
    EXPECT_TRUE(exists(u"9"));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Record("9").SerialPortName)), u"\\Device\\VCP0")
        << "a name without a path is one under \\Device";
    EXPECT_TRUE(exists(u""));
    EXPECT_TRUE(exists(u"X12"));
    EXPECT_TRUE(exists(u"4"));
    EXPECT_FALSE(exists(u"3"));
    EXPECT_FALSE(exists(u"2")) << "CON is no COM";
    EXPECT_EQ(CountTrace("Ignoring bad-named COM port (2)."), 0) << "tracing is off";
    EXPECT_EQ(WdfCollectionGetCount(DriverRecord(*system_)->Collection), 5u);

    com(R"(\Device\Late)", u"COM8");
    auto second = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(second.status));
    EXPECT_FALSE(exists(u"8")) << "only the first open walks the map; later ports wait for the control request";
    auto control = second.file.DeviceControl(IOCTL_HART_ENUMERATE_DEVICES, Bytes{0}, 0);
    EXPECT_EQ(control.status, STATUS_SUCCESS);
    EXPECT_TRUE(exists(u"8"));
    EXPECT_EQ(WdfCollectionGetCount(DriverRecord(*system_)->Collection), 6u) << "the ports made before stay as they are";
    EXPECT_EQ(second.file.DeviceControl(IOCTL_HART_ENUMERATE_DEVICES, Bytes{}, 0).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DriverTest, PortDevicesLiveAsLongAsTheMainDeviceHasClients)
{
    Boot();
    auto first = system_->OpenMain();
    auto second = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(first.status));
    ASSERT_TRUE(NT_SUCCESS(second.status));
    platform::File port = OpenPort();
    platform::ClientEvent event = system_->Host().Io().CreateEvent();
    ASSERT_EQ(port.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, HandleBytes(event), 0).status,
              STATUS_SUCCESS)
        << "a subscription the deletion must give back";
    first.file.Close();
    EXPECT_TRUE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")));
    second.file.Close();
    EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")))
        << "the last close deletes the port devices, even one a client holds open";
    EXPECT_FALSE(NT_SUCCESS(port.Write(Request(0, 0)).status));

    /* A link name another owner holds stays theirs: the port that could not make it leaves it. */
    const std::u16string name = sim::SimulatedSystem::PortLinkName("1");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, name.c_str());
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    system_->OpenMain().file.Close();
    EXPECT_TRUE(system_->Host().ObjectNameExists(name));
    IoDeleteSymbolicLink(&link);
    EXPECT_TRUE(debug_->Text().empty()) << "without DebugLevel the driver prints nothing";
}

TEST_F(DriverTest, DamagedOrOddDeviceMapEntriesMakeNoPortAndEndTheWalk)
{
    Boot({.serialPorts = 1, .registry = std::string(kServiceKey) + "\n\"DebugLevel\"=dword:00000001\n"});
    platform::Registry& registry = system_->Host().GetRegistry();
    const std::uint8_t oddCom[] = {'C', 0, 'O', 0, 'M', 0, '7', 0, 0}; /* nine bytes */
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial7", REG_SZ, oddCom);
    const std::uint8_t bareCom[] = {'C', 0, 'O', 0, 'M', 0}; /* no number, no terminator */
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial4", REG_SZ, bareCom);
    auto main = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(main.status));
    EXPECT_TRUE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")));
    EXPECT_EQ(WdfCollectionGetCount(DriverRecord(*system_)->Collection), 1u) << "no port for an odd or a bare COM name";
    main.file.Close();

    /* Entries too long for the walk's buffer fail one by one; only failures in a row end the walk. */
    const std::uint8_t com5[] = {'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0};
    const std::uint8_t com6[] = {'C', 0, 'O', 0, 'M', 0, '6', 0, 0, 0};
    int longEntries = 0;
    auto tooLong = [&](int count) {
        for (int i = 0; i < count; i++) {
            registry.SetValue(platform::kSerialCommKey,
                              "\\Device\\Long" + std::to_string(longEntries++) + std::string(150, 'x'), REG_SZ, com5);
        }
    };
    tooLong(40);
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial5", REG_SZ, com5);
    tooLong(40);
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial6", REG_SZ, com6);
    /* The walk ends at the 64th failure in a row, not before. */
    tooLong(63);
    const std::uint8_t com8[] = {'C', 0, 'O', 0, 'M', 0, '8', 0, 0, 0};
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial8", REG_SZ, com8);
    tooLong(64);
    const std::uint8_t com9[] = {'C', 0, 'O', 0, 'M', 0, '9', 0, 0, 0};
    registry.SetValue(platform::kSerialCommKey, "\\Device\\Serial9", REG_SZ, com9);
    main = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(main.status));
    EXPECT_EQ(WdfCollectionGetCount(DriverRecord(*system_)->Collection), 4u) << "COM1, COM5, COM6 and COM8";
    EXPECT_TRUE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("6")));
    EXPECT_TRUE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("8")));
    EXPECT_EQ(CountTrace("CreateHartDevices Error: the serial device map fails at every entry"), 1);
    main.file.Close();

    registry.FailValueEnumeration(platform::kSerialCommKey, STATUS_INSUFFICIENT_RESOURCES);
    auto damaged = system_->OpenMain();
    EXPECT_EQ(WdfCollectionGetCount(DriverRecord(*system_)->Collection), 0u);
    EXPECT_EQ(CountTrace("CreateHartDevices Error: the serial device map fails at every entry"), 2);
    main_ = std::move(damaged.file);
}

TEST_F(DriverTest, NoSerialPortFailsTheFirstOpenAndLeavesTheCountAlone)
{
    Boot({.serialPorts = 0, .registry = {}});
    EXPECT_EQ(system_->OpenMain().status, STATUS_UNSUCCESSFUL);
    system_->Host().GetRegistry().AddSerialPort(R"(\Device\Serial9)", "COM2");
    main_ = std::move(system_->OpenMain().file);
    EXPECT_TRUE(main_.IsOpen());
    EXPECT_TRUE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("2"))) << "a later open enumerates again";
}

TEST_F(DriverTest, DebugLevelOneShowsErrorsAndTheStampedTimerLines)
{
    Boot({.registry = std::string(kServiceKey) + "\n\"DebugLevel\"=dword:00000001\n"});
    platform::File port = OpenMainAndPort();
    debug_->Clear();
    system_->Device(0).Config().silent = true;
    port.Write(Request(0, 0));
    EXPECT_EQ(CountTrace("HartMasterFailTransmit Completing Write request with Status STATUS_TRANSACTION_TIMED_OUT"),
              1);
    EXPECT_GE(CountTrace("-EVT_BG_TIMEOUT"), 1) << "level 0x81 shares bit 0";
    EXPECT_EQ(CountTrace("STATE_WAIT_ACK"), 0) << "states are level 0x20";
}

} // namespace
} // namespace drivertest
