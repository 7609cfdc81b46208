#include "SystemFixture.h"

#include <algorithm>
#include <stdexcept>

namespace drivertest {

void SystemFixture::Boot(const sim::SystemOptions& options)
{
    /* These tests are about the driver: revision-5 devices answer their short
       frames for every command, which keeps the frames and their byte counts small. */
    sim::SystemOptions revisionFive = options;
    revisionFive.universalRevision = 5;
    system_ = std::make_unique<sim::SimulatedSystem>(revisionFive);
    debug_ = std::make_unique<platform::DebugCapture>(system_->Host());
    ASSERT_TRUE(NT_SUCCESS(system_->Load()));
}

void SystemFixture::TearDown()
{
    if (!system_) {
        return;
    }
    main_.Close();
    system_->Unload();
    EXPECT_EQ(system_->Host().LiveObjects(), 0u) << "objects left after unload";
    debug_.reset();
    system_.reset();
    HartSetDebugLevel(1);
}

platform::File SystemFixture::OpenMainAndPort(const std::string& suffix)
{
    auto main = system_->OpenMain();
    EXPECT_TRUE(NT_SUCCESS(main.status));
    main_ = std::move(main.file);
    return OpenPort(suffix);
}

platform::File SystemFixture::OpenPort(const std::string& suffix)
{
    auto port = system_->OpenPort(suffix);
    EXPECT_TRUE(NT_SUCCESS(port.status)) << std::hex << port.status;
    return std::move(port.file);
}

Bytes SystemFixture::Request(std::uint8_t pollingAddress, std::uint8_t command, const Bytes& data)
{
    sim::HartFrame frame;
    frame.delimiter = sim::kDelimiterStx;
    frame.address = {static_cast<std::uint8_t>(0x80 | pollingAddress)};
    frame.command = command;
    frame.data = data;
    return sim::OnLine(frame, 5);
}

Bytes SystemFixture::ModemInit(const std::u16string& serial, const std::u16string& com, std::uint32_t comBytes,
                               std::uint32_t serialBytes)
{
    HART_MODEM_INIT init{};
    std::copy_n(serial.begin(), std::min<std::size_t>(serial.size(), 128), init.SerialDeviceName.Name);
    init.SerialDeviceName.Length = serialBytes != 0 ? serialBytes : static_cast<std::uint32_t>(serial.size() * 2);
    std::copy_n(com.begin(), std::min<std::size_t>(com.size(), 127), init.ComName.Name);
    init.ComName.Length = comBytes != 0 ? comBytes : static_cast<std::uint32_t>((com.size() + 1) * 2);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&init);
    return Bytes(bytes, bytes + sizeof(init));
}

Bytes SystemFixture::HandleBytes(const platform::ClientEvent& event)
{
    const std::uint32_t handle = event.Handle();
    return Bytes{static_cast<std::uint8_t>(handle), static_cast<std::uint8_t>(handle >> 8),
                 static_cast<std::uint8_t>(handle >> 16), static_cast<std::uint8_t>(handle >> 24)};
}

int SystemFixture::CountTrace(const std::string& text) const
{
    auto lines = debug_->Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

bool SystemFixture::RunUntil(const std::function<bool()>& done, platform::Ticks limit)
{
    const platform::Ticks end = system_->Host().Now() + limit;
    while (!done()) {
        if (system_->Host().Now() >= end) {
            return false;
        }
        system_->Host().RunFor(1ms);
    }
    return true;
}

HARTDEVICE_CONTEXT& SystemFixture::Record(const std::string& suffix)
{
    PHARTDEVICE_CONTEXT record = system_->PortRecord(suffix);
    if (record == nullptr) {
        throw std::logic_error("no port device for COM" + suffix);
    }
    return *record;
}

} // namespace drivertest
