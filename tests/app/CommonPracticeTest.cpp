/* Common-practice commands and the name tables, against answers written by hand from the commands' layouts. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "app/CommandNames.h"
#include "app/CommonPractice.h"
#include "app/Status.h"
#include "app/Universal.h"

namespace {

using hart::Bytes;

/* The payload cut by one byte: every decoder must refuse it. */
Bytes Short(const Bytes& payload)
{
    return Bytes(payload.begin(), payload.end() - 1);
}

const hart::Field* FieldNamed(const hart::Fields& fields, const std::string& name)
{
    auto found = std::find_if(fields.begin(), fields.end(), [&](const hart::Field& f) { return f.name == name; });
    return found != fields.end() ? &*found : nullptr;
}

TEST(CommonPracticeTest, ValuesRangesAndSettingsDecodeFromTheirLayouts)
{
    /* 33: variable 0 at 12.5 kPa, variable 246 at 4 mA. */
    const Bytes thirtyThree{0x00, 0x0C, 0x41, 0x48, 0x00, 0x00, 0xF6, 0x27, 0x40, 0x80, 0x00, 0x00};
    auto values = *hart::DecodeDeviceVariableValues(thirtyThree);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].measurement.unit, 12);
    EXPECT_EQ(values[0].measurement.value, 12.5f);
    EXPECT_EQ(values[1].code, 246);
    EXPECT_EQ(values[1].measurement.value, 4.0f);
    EXPECT_FALSE(hart::DecodeDeviceVariableValues(Bytes(5, 0)));

    const Bytes thirtyFour{0x40, 0x20, 0x00, 0x00};
    EXPECT_EQ(hart::DecodePrimaryVariableDamping(thirtyFour), 2.5f);
    EXPECT_FALSE(hart::DecodePrimaryVariableDamping(Short(thirtyFour)));

    /* 35: degC, upper 100, lower -10. */
    const Bytes thirtyFive{0x20, 0x42, 0xC8, 0x00, 0x00, 0xC1, 0x20, 0x00, 0x00};
    hart::RangeValues range = *hart::DecodeRangeValues(thirtyFive);
    EXPECT_EQ(range.unit, 32);
    EXPECT_EQ(range.upper, 100.0f);
    EXPECT_EQ(range.lower, -10.0f);
    EXPECT_FALSE(hart::DecodeRangeValues(Short(thirtyFive)));

    EXPECT_EQ(hart::DecodeFixedCurrent(Bytes{0x41, 0xA0, 0x00, 0x00}), 20.0f);
    EXPECT_FALSE(hart::DecodeFixedCurrent(Bytes{0x41, 0xA0, 0x00}));
    EXPECT_EQ(hart::DecodePrimaryVariableUnits(Bytes{0x07}), 7);
    EXPECT_FALSE(hart::DecodePrimaryVariableUnits(Bytes{}));
    EXPECT_EQ(hart::DecodeDynamicVariableAssignments(Bytes{0x00, 0x01, 0xFA, 0xFA}),
              (std::vector<std::uint8_t>{0, 1, 250, 250}));
    EXPECT_FALSE(hart::DecodeDynamicVariableAssignments(Bytes{}));
    EXPECT_EQ(hart::DecodeResponsePreambles(Bytes{0x08}), 8);
    EXPECT_EQ(hart::DecodeLockCode(Bytes{0x02}), hart::LockCode::LockPermanent);
    EXPECT_FALSE(hart::DecodeLockCode(Bytes{}));
    EXPECT_EQ(hart::BitNames(hart::LockStateBits(), *hart::DecodeLockState(Bytes{0x05})),
              (std::vector<std::string>{"device locked", "locked by primary master"}));

    /* 79: variable 1 held at 0.5 m, status manual/fixed and constant. */
    const Bytes seventyNine{0x01, 0x01, 0x2D, 0x3F, 0x00, 0x00, 0x00, 0xB0};
    hart::DeviceVariableWrite write = *hart::DecodeDeviceVariableWrite(seventyNine);
    EXPECT_EQ(write.code, 1);
    EXPECT_EQ(write.mode, hart::WriteMode::FixedValue);
    EXPECT_EQ(write.value.unit, 45);
    EXPECT_EQ(write.value.value, 0.5f);
    EXPECT_EQ(write.status, 0xB0);
    EXPECT_FALSE(hart::DecodeDeviceVariableWrite(Short(seventyNine)));
    /* Writing it back gives the same bytes. */
    EXPECT_EQ(hart::WriteDeviceVariable(write)->data, seventyNine);
}

TEST(CommonPracticeTest, DeviceVariableInformationOfEachRevision)
{
    /* Variable 0, serial 0x0A0B0C, kPa, limits 100 and 0, damping 1 s, span 2.5. */
    Bytes p{0x00, 0x0A, 0x0B, 0x0C, 0x0C, 0x42, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x3F, 0x80, 0x00, 0x00, 0x40, 0x20, 0x00, 0x00};
    hart::DeviceVariableInformation five = *hart::DecodeDeviceVariableInformation(p);
    EXPECT_EQ(five.transducerSerialNumber, 0x0A0B0Cu);
    EXPECT_EQ(five.unit, 12);
    EXPECT_EQ(five.upperLimit, 100.0f);
    EXPECT_EQ(five.damping, 1.0f);
    EXPECT_EQ(five.minimumSpan, 2.5f);
    EXPECT_FALSE(five.classification);
    EXPECT_FALSE(hart::DecodeDeviceVariableInformation(Short(p)));

    /* Classification 65, family 5, acquisition every half second, properties 0x01. */
    p.insert(p.end(), {0x41, 0x05, 0x00, 0x00, 0x3E, 0x80, 0x01});
    hart::DeviceVariableInformation seven = *hart::DecodeDeviceVariableInformation(p);
    EXPECT_EQ(seven.classification, 65);
    EXPECT_EQ(seven.family, 5);
    EXPECT_EQ(seven.acquisitionPeriod->ticks, 16000u);
    EXPECT_EQ(seven.acquisitionPeriod->Seconds(), 0.5);
    EXPECT_EQ(seven.acquisitionPeriod->Milliseconds(), 500.0);
    EXPECT_EQ(seven.properties, 0x01);
    /* A revision-6 answer stops after the classification. */
    p.resize(22);
    EXPECT_EQ(hart::DecodeDeviceVariableInformation(p)->classification, 65);
    EXPECT_FALSE(hart::DecodeDeviceVariableInformation(p)->family);
}

TEST(CommonPracticeTest, BurstAnswersOfRevisionSevenAndOlder)
{
    /* 103: message 1, every second, at least once a minute. */
    const Bytes oneOThree{0x01, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x1D, 0x4C, 0x00};
    hart::BurstPeriod period = *hart::DecodeBurstPeriod(oneOThree);
    EXPECT_EQ(period.message, 1);
    EXPECT_EQ(period.update.Seconds(), 1.0);
    EXPECT_EQ(period.maximum.Seconds(), 60.0);
    EXPECT_FALSE(hart::DecodeBurstPeriod(Short(oneOThree)));

    /* 104: message 0, rising above 12.5 degC. */
    const Bytes oneOFour{0x00, 0x02, 0x40, 0x20, 0x41, 0x48, 0x00, 0x00};
    hart::BurstTrigger trigger = *hart::DecodeBurstTrigger(oneOFour);
    EXPECT_EQ(trigger.mode, hart::TriggerMode::Rising);
    EXPECT_EQ(trigger.classification, 64);
    EXPECT_EQ(trigger.level.unit, 32);
    EXPECT_EQ(trigger.level.value, 12.5f);
    EXPECT_FALSE(hart::DecodeBurstTrigger(Short(oneOFour)));

    /* 105 of an older device: bursting command 3, four slots. */
    const Bytes old{0x01, 0x03, 0x00, 0x01, 0xFA, 0xFA};
    hart::BurstConfiguration legacy = *hart::DecodeBurstConfiguration(old);
    EXPECT_EQ(legacy.mode, hart::BurstMode::TokenPassing);
    EXPECT_EQ(legacy.command, 3);
    EXPECT_EQ(legacy.slots, (std::vector<std::uint8_t>{0, 1, 250, 250}));
    EXPECT_FALSE(legacy.message);
    EXPECT_FALSE(hart::DecodeBurstConfiguration(Short(old)));

    /* 105 of revision 7: message 2 of 3 bursts command 1000 (through 31), on change. */
    const Bytes seven{0x03, 0x1F, 0x00, 0x01, 0x02, 0x03, 0xFA, 0xFA, 0xFA, 0xFA, 0x02, 0x03, 0x03, 0xE8,
                      0x00, 0x00, 0x7D, 0x00, 0x00, 0x1D, 0x4C, 0x00, 0x04, 0x00, 0x27, 0x3F, 0x00, 0x00, 0x00};
    hart::BurstConfiguration now = *hart::DecodeBurstConfiguration(seven);
    EXPECT_EQ(now.mode, hart::BurstMode::TdmaAndTokenPassing);
    EXPECT_EQ(now.command, 1000);
    ASSERT_EQ(now.slots.size(), 8u);
    EXPECT_EQ(now.slots[3], 3);
    EXPECT_EQ(now.message, 2);
    EXPECT_EQ(now.maximumMessages, 3);
    EXPECT_EQ(now.period->update.ticks, 32000u);
    EXPECT_EQ(now.period->maximum.Seconds(), 60.0);
    EXPECT_EQ(now.trigger->mode, hart::TriggerMode::OnChange);
    EXPECT_EQ(now.trigger->level.unit, 39);
    EXPECT_EQ(now.trigger->level.value, 0.5f);
    Bytes direct = seven;
    direct[1] = 0x09; /* a number that fits the byte is taken from it */
    EXPECT_EQ(hart::DecodeBurstConfiguration(direct)->command, 9);

    auto slots = *hart::DecodeBurstDeviceVariables(Bytes{0, 1, 2, 3});
    EXPECT_EQ(slots.slots.size(), 4u);
    EXPECT_FALSE(slots.message);
    slots = *hart::DecodeBurstDeviceVariables(Bytes{0, 1, 2, 3, 4, 5, 6, 7, 0x01});
    EXPECT_EQ(slots.slots.size(), 8u);
    EXPECT_EQ(slots.message, 1);
    EXPECT_FALSE(hart::DecodeBurstDeviceVariables(Bytes{0, 1, 2}));

    EXPECT_EQ(hart::DecodeBurstCommandNumber(Bytes{0x09})->command, 9);
    hart::BurstCommandNumber number = *hart::DecodeBurstCommandNumber(Bytes{0x03, 0xE8, 0x01});
    EXPECT_EQ(number.command, 1000);
    EXPECT_EQ(number.message, 1);
    EXPECT_FALSE(hart::DecodeBurstCommandNumber(Bytes{0x03, 0xE8})) << "neither layout";
    EXPECT_FALSE(hart::DecodeBurstCommandNumber(Bytes{}));

    EXPECT_EQ(hart::DecodeBurstMode(Bytes{0x00})->mode, hart::BurstMode::Off);
    EXPECT_EQ(hart::DecodeBurstMode(Bytes{0x02, 0x01})->message, 1);
    EXPECT_FALSE(hart::DecodeBurstMode(Bytes{}));
}

TEST(CommonPracticeTest, RequestsCarryTheirLayoutAndRefuseWhatDoesNotFit)
{
    const std::uint8_t codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(hart::ReadDeviceVariableValues(std::span(codes).first(2))->data, (Bytes{0, 1}));
    EXPECT_FALSE(hart::ReadDeviceVariableValues(std::span(codes).first(5)));
    EXPECT_FALSE(hart::ReadDeviceVariableValues({}));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(hart::WritePrimaryVariableDamping(2.5f)->data, (Bytes{0x40, 0x20, 0x00, 0x00}));
    EXPECT_FALSE(hart::WritePrimaryVariableDamping(nan));
    EXPECT_FALSE(hart::WritePrimaryVariableDamping(-1.0f));
    EXPECT_EQ(hart::WritePrimaryVariableRange(32, 100.0f, -10.0f)->data,
              (Bytes{0x20, 0x42, 0xC8, 0x00, 0x00, 0xC1, 0x20, 0x00, 0x00}));
    EXPECT_FALSE(hart::WritePrimaryVariableRange(32, inf, 0.0f));
    EXPECT_EQ(hart::EnterFixedCurrentMode(20.0f)->data, (Bytes{0x41, 0xA0, 0x00, 0x00}));
    EXPECT_FALSE(hart::EnterFixedCurrentMode(0.0f)) << "zero would leave the mode";
    EXPECT_FALSE(hart::EnterFixedCurrentMode(nan));
    EXPECT_EQ(hart::ExitFixedCurrentMode().data, (Bytes{0, 0, 0, 0}));
    hart::DeviceVariableWrite write{0, hart::WriteMode::FixedValue, hart::Measurement{32, nan}, 0};
    EXPECT_FALSE(hart::WriteDeviceVariable(write));
    EXPECT_EQ(hart::Squawk().data, Bytes{});
    EXPECT_EQ(hart::Squawk(hart::SquawkControl::Once).data, Bytes{2});
    EXPECT_EQ(hart::LockDevice(hart::LockCode::LockAll).data, Bytes{3});

    EXPECT_EQ(hart::WriteBurstPeriod(1, *hart::TimeValue::FromSeconds(1.0), *hart::TimeValue::FromSeconds(60.0)).data,
              (Bytes{0x01, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x1D, 0x4C, 0x00}));
    EXPECT_EQ(hart::TimeValue::FromSeconds(0.00004)->ticks, 1u) << "rounded to the nearest 1/32 ms";
    EXPECT_FALSE(hart::TimeValue::FromSeconds(-0.001));
    EXPECT_FALSE(hart::TimeValue::FromSeconds(std::nan("")));
    EXPECT_FALSE(hart::TimeValue::FromSeconds(200000.0)) << "past the 32-bit count";
    EXPECT_EQ(hart::TimeValue::FromSeconds(134217.72)->ticks, 4294967040u);

    hart::BurstTrigger trigger{0, hart::TriggerMode::Rising, 64, hart::Measurement{32, 12.5f}};
    EXPECT_EQ(hart::WriteBurstTrigger(trigger)->data, (Bytes{0x00, 0x02, 0x40, 0x20, 0x41, 0x48, 0x00, 0x00}));
    trigger.level.value = inf;
    EXPECT_FALSE(hart::WriteBurstTrigger(trigger));

    EXPECT_EQ(hart::ReadBurstModeConfiguration().data, Bytes{});
    EXPECT_EQ(hart::ReadBurstModeConfiguration(2).data, Bytes{2});
    EXPECT_EQ(hart::WriteBurstDeviceVariables(std::span(codes).first(2))->data, (Bytes{0, 1, 250, 250}));
    EXPECT_EQ(hart::WriteBurstDeviceVariables(std::span(codes).first(2), 1)->data,
              (Bytes{0, 1, 250, 250, 250, 250, 250, 250, 1}));
    EXPECT_FALSE(hart::WriteBurstDeviceVariables(std::span(codes).first(5))) << "older devices have four slots";
    EXPECT_FALSE(hart::WriteBurstDeviceVariables(std::span(codes), 0));
    EXPECT_EQ(hart::WriteBurstCommandNumber(9)->data, Bytes{9});
    EXPECT_EQ(hart::WriteBurstCommandNumber(1000, 1)->data, (Bytes{0x03, 0xE8, 0x01}));
    EXPECT_FALSE(hart::WriteBurstCommandNumber(1000));
    EXPECT_EQ(hart::WriteBurstMode(hart::BurstMode::TokenPassing, 2).data, (Bytes{1, 2}));
    EXPECT_EQ(hart::WriteBurstMode(hart::BurstMode::Off).number, 109);
}

TEST(CommonPracticeTest, FieldsComeThroughTheOneEntryPoint)
{
    hart::Fields fields = hart::DecodeFields(35, Bytes{0x20, 0x42, 0xC8, 0x00, 0x00, 0xC1, 0x20, 0x00, 0x00});
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "upper range value");
    EXPECT_EQ(std::get<hart::Measurement>(fields[0].value).value, 100.0f);

    fields = hart::DecodeFields(76, Bytes{0x03});
    EXPECT_EQ(std::get<hart::Flags>(fields.at(0).value).names,
              (std::vector<std::string>{"device locked", "lock is permanent"}));
    fields = hart::DecodeFields(109, Bytes{0x01, 0x00});
    EXPECT_EQ(std::get<std::string>(FieldNamed(fields, "burst mode")->value), "on token-passing");
    EXPECT_EQ(std::get<std::int64_t>(FieldNamed(fields, "burst message")->value), 0);
    fields = hart::DecodeFields(71, Bytes{0x07});
    EXPECT_EQ(std::get<std::string>(fields.at(0).value), "code 7");
    fields = hart::DecodeFields(44, Bytes{0x0C});
    EXPECT_EQ(std::get<std::string>(FieldNamed(fields, "primary variable unit")->value), "kPa");

    /* Every command, answered with every length up to past the longest layout:
       no decoder may read beyond the payload (31 sends command 105 to its
       expanded number), and distinct values never share a field name. */
    for (std::uint16_t command = 0; command < 256; command++) {
        for (std::size_t length = 0; length <= 40; length++) {
            (void)hart::DecodeFields(command, Bytes(length, 0x1F));
            Bytes ascending(length);
            for (std::size_t i = 0; i < length; i++) {
                ascending[i] = static_cast<std::uint8_t>(i == 0 ? 254 : i);
            }
            std::set<std::string> names;
            for (const hart::Field& field : hart::DecodeFields(command, ascending)) {
                EXPECT_TRUE(names.insert(field.name).second) << command << ": " << field.name;
            }
        }
        EXPECT_TRUE(hart::DecodeFields(command, Bytes{}).empty()) << command;
    }
}

TEST(NamesTest, CommandsByNumberKeyAndName)
{
    EXPECT_STREQ(hart::FindCommand(3)->key, "read-dynamic-variables");
    EXPECT_STREQ(hart::FindCommand(109)->name, "Burst Mode Control");
    EXPECT_FALSE(hart::FindCommand(4));
    EXPECT_EQ(hart::LookupCommand("read-dynamic-variables")->number, 3);
    EXPECT_EQ(hart::LookupCommand("  Write_PV_Units ")->number, 44);
    EXPECT_EQ(hart::LookupCommand("write primary variable units")->number, 44);
    EXPECT_EQ(hart::LookupCommand("Read Tag, Descriptor, Date")->number, 13);
    EXPECT_EQ(hart::LookupCommand("48")->number, 48);
    EXPECT_FALSE(hart::LookupCommand("4")) << "a number named nowhere";
    EXPECT_FALSE(hart::LookupCommand("read"));
    EXPECT_FALSE(hart::LookupCommand("---"));
    EXPECT_EQ(hart::ParseCommandNumber("4"), 4);
    EXPECT_EQ(hart::ParseCommandNumber("65535"), 65535);
    EXPECT_FALSE(hart::ParseCommandNumber("65536"));
    EXPECT_FALSE(hart::ParseCommandNumber("-1"));
    EXPECT_EQ(hart::ParseCommandNumber("burst-mode-control"), 109);
    EXPECT_EQ(hart::CommandText(0), "Read Unique Identifier");
    EXPECT_EQ(hart::CommandText(300), "command 300");

    /* Lookup by number halves the table, and by key takes the first match. */
    std::set<std::string> keys;
    std::uint16_t last = 0;
    for (const hart::CommandInfo& entry : hart::KnownCommands()) {
        EXPECT_TRUE(entry.number == 0 || entry.number > last) << entry.number;
        last = entry.number;
        EXPECT_TRUE(keys.insert(entry.key).second) << entry.key;
        EXPECT_EQ(hart::LookupCommand(entry.key)->number, entry.number);
        EXPECT_EQ(hart::LookupCommand(entry.name)->number, entry.number) << entry.name;
    }
    for (int number : {0, 1, 2, 3, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 38, 48, 33, 34, 35, 40,
                       44, 50, 54, 59, 71, 72, 76, 79, 103, 104, 105, 106, 107, 108, 109}) {
        EXPECT_TRUE(hart::FindCommand(static_cast<std::uint16_t>(number))) << number;
    }
}

TEST(NamesTest, UnitsByCodeNameAndKey)
{
    EXPECT_EQ(hart::UnitName(32), "degC");
    EXPECT_EQ(hart::UnitKey(32), "deg_c");
    EXPECT_EQ(hart::UnitName(237), "MPa");
    EXPECT_EQ(hart::UnitKey(237), "mega_pa");
    EXPECT_EQ(hart::UnitKey(250), "not_used");
    EXPECT_EQ(hart::UnitName(253), "special");
    EXPECT_EQ(hart::UnitKey(245), "");
    EXPECT_EQ(hart::UnitText(245), "unit 245");
    EXPECT_EQ(hart::FindUnit("KPA"), 12);
    EXPECT_EQ(hart::FindUnit("m3/h"), 19);
    EXPECT_FALSE(hart::FindUnit("furlong"));

    /* Every name and key finds its own code: none is another unit's in another case. */
    EXPECT_GE(hart::Units().size(), 170u);
    for (const hart::UnitInfo& unit : hart::Units()) {
        EXPECT_EQ(hart::FindUnit(unit.name), unit.code) << unit.name;
        EXPECT_EQ(hart::FindUnit(unit.key), unit.code) << unit.key;
        for (char c : std::string(unit.key)) {
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') << unit.key;
        }
    }
}

TEST(StatusTest, CommonPracticeCommandsNameTheirOwnCodes)
{
    hart::Response nearest = hart::DecodeResponse(34, 8);
    EXPECT_EQ(nearest.name, "set to nearest possible value");
    EXPECT_TRUE(nearest.CarriedOut());
    EXPECT_EQ(hart::DecodeResponse(35, 11).name, "upper range value too high");
    EXPECT_FALSE(hart::DecodeResponse(35, 11).CarriedOut());
    EXPECT_TRUE(hart::DecodeResponse(35, 14).CarriedOut());
    EXPECT_EQ(hart::DecodeResponse(35, 29).kind, hart::ResponseClass::Error);
    EXPECT_EQ(hart::DecodeResponse(40, 11).name, "loop current not active (multidrop mode)");
    EXPECT_EQ(hart::DecodeResponse(45, 9).name, "not in proper current mode");
    EXPECT_TRUE(hart::DecodeResponse(109, 8).CarriedOut());
    EXPECT_EQ(hart::DecodeResponse(109, 9).name, "invalid burst message");
    EXPECT_FALSE(hart::DecodeResponse(109, 9).CarriedOut());
    /* The same code means something else, or nothing known, for another command. */
    EXPECT_EQ(hart::DecodeResponse(44, 8).name, "command-specific error 8");
    EXPECT_FALSE(hart::DecodeResponse(44, 8).CarriedOut());
    /* Codes every command shares. */
    EXPECT_EQ(hart::DecodeResponse(109, 32).name, "device is busy");
    EXPECT_EQ(hart::DecodeResponse(34, 33).name, "delayed response initiated");
    EXPECT_EQ(hart::DecodeResponse(79, 16).name, "access restricted");
    EXPECT_EQ(hart::DecodeResponse(71, 6).name, "device-specific command error");
}

} // namespace
