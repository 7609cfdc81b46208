#include "SystemFixture.h"

#include <algorithm>

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

int SystemFixture::CountTrace(const std::string& text) const
{
    auto lines = debug_->Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

} // namespace drivertest
