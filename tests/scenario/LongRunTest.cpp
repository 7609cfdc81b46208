/* Ten simulated minutes of two masters sharing three devices. */
#include "ScenarioFixture.h"

namespace scenario {
namespace {

using LongRunTest = ScenarioFixture;

TEST_F(LongRunTest, TwoMastersPollThreeDevicesForTenMinutesWithoutCollisions)
{
    Boot(Line(2, 3));
    Poller& primary = AddPoller("1", true, Targets(3, {1, 3, 48}));
    Poller& secondary = AddPoller("2", false, Targets(3, {0, 2, 13}));
    RunWithoutAFault(10min);
    EXPECT_GT(primary.Succeeded(), 800u);
    EXPECT_LE(primary.Succeeded(), secondary.Succeeded() + 1) << "strict turns";
    EXPECT_LE(secondary.Succeeded(), primary.Succeeded() + 1);
}

TEST_F(LongRunTest, BurstDeviceAndTwoMastersForTenMinutes)
{
    Boot(Line(2, 3, true));
    Poller& primary = AddPoller("1", true, Targets(3, {1, 0}));
    Poller& secondary = AddPoller("2", false, Targets(3, {2}));
    RunWithoutAFault(10min);
    EXPECT_GT(primary.Succeeded(), 500u);
    EXPECT_GT(secondary.Succeeded(), 500u);
}

} // namespace
} // namespace scenario
