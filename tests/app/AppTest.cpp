/* The application layer against frames and payloads written by hand from the commands' published layouts. */
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "app/Addressing.h"
#include "app/Frame.h"
#include "app/Status.h"
#include "app/Universal.h"

namespace {

using hart::Bytes;

TEST(FrameTest, RequestsCarryAddressCountAndCheckByte)
{
    hart::Request request;
    request.address.polling = 5;
    request.command = 1;
    EXPECT_EQ(hart::BuildRequest(request), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x85, 0x01, 0x00, 0x86}));

    request.address.isLong = true;
    request.address.id = {0xE6, 0x06, 0x10, 0x00, 0x01}; /* master and burst bits are not the caller's to set */
    request.primaryMaster = false;
    request.data = {0xAA};
    request.preambles = 2;
    Bytes frame = hart::BuildRequest(request);
    EXPECT_EQ(frame, (Bytes{0xFF, 0xFF, 0x82, 0x26, 0x06, 0x10, 0x00, 0x01, 0x01, 0x01, 0xAA, 0x19}));

    auto parsed = hart::ParseFrame(frame);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->checkByteOk);
    EXPECT_EQ(parsed->Kind(), hart::FrameKind::Stx);
    EXPECT_EQ(parsed->AddressText(), "26 06 10 00 01");
    EXPECT_EQ(parsed->data, Bytes{0xAA});
    frame.back() ^= 1;
    EXPECT_FALSE(hart::ParseFrame(frame)->checkByteOk);
    frame.resize(frame.size() - 2);
    std::string why;
    EXPECT_FALSE(hart::ParseFrame(frame, &why));
    EXPECT_EQ(why, "the data are cut short");
}

TEST(FrameTest, HexIsReadInTheUsualSpellings)
{
    EXPECT_EQ(hart::ParseHex("0x02,80 ff"), (Bytes{0x02, 0x80, 0xFF}));
    EXPECT_EQ(hart::ParseHex("0280FF"), (Bytes{0x02, 0x80, 0xFF}));
    EXPECT_FALSE(hart::ParseHex("0 2"));
    EXPECT_FALSE(hart::ParseHex("abc"));
}

TEST(FrameTest, AnAnswerBelongsToTheRequestOfItsAddressAndCommand)
{
    hart::Request shortRequest;
    shortRequest.address.polling = 3;
    shortRequest.command = 1;
    auto answer = [](Bytes frame) { return *hart::ParseFrame(frame); };
    EXPECT_TRUE(hart::Answers(answer({0x06, 0x83, 0x01, 0x02, 0x00, 0x00, 0x86}), shortRequest));
    EXPECT_FALSE(hart::Answers(answer({0x06, 0x84, 0x01, 0x02, 0x00, 0x00, 0x81}), shortRequest));  /* address */
    EXPECT_FALSE(hart::Answers(answer({0x06, 0x83, 0x02, 0x02, 0x00, 0x00, 0x85}), shortRequest));  /* command */
    EXPECT_FALSE(hart::Answers(answer({0x06, 0x03, 0x01, 0x02, 0x00, 0x00, 0x06}), shortRequest));  /* master */
    EXPECT_FALSE(hart::Answers(answer({0x02, 0x83, 0x01, 0x00, 0x84}), shortRequest));              /* a request */
    EXPECT_FALSE(hart::Answers(answer({0x86, 0x83, 0x06, 0x10, 0x00, 0x01, 0x01, 0x02, 0x00, 0x00, 0x17}),
                                  shortRequest)); /* long frame */

    hart::Request longRequest;
    longRequest.address.isLong = true;
    longRequest.address.id = {0x26, 0x06, 0x10, 0x00, 0x01};
    longRequest.command = 13;
    EXPECT_TRUE(hart::Answers(answer({0x86, 0xE6, 0x06, 0x10, 0x00, 0x01, 0x0D, 0x02, 0x00, 0x00, 0x00}),
                                 longRequest)); /* burst bit set */
    EXPECT_FALSE(hart::Answers(answer({0x86, 0xA6, 0x06, 0x10, 0x00, 0x02, 0x0D, 0x02, 0x00, 0x00, 0x00}),
                                  longRequest));
    longRequest.address.id = {};
    longRequest.command = 11;
    EXPECT_TRUE(hart::Answers(answer({0x86, 0xA6, 0x06, 0x10, 0x00, 0x02, 0x0B, 0x02, 0x00, 0x00, 0x00}),
                                 longRequest)); /* the broadcast address is answered by the device's own */
}

TEST(StatusTest, ResponseCodesAreNamedForTheCommandTheyAnswer)
{
    EXPECT_EQ(hart::DecodeResponse(1, 0).kind, hart::ResponseClass::Success);
    EXPECT_EQ(hart::DecodeResponse(1, 2).name, "invalid selection");
    EXPECT_EQ(hart::DecodeResponse(6, 2).name, "invalid polling address selection");
    hart::Response mismatch = hart::DecodeResponse(38, 9);
    EXPECT_EQ(mismatch.name, "configuration change counter mismatch");
    EXPECT_EQ(mismatch.kind, hart::ResponseClass::Error);
    EXPECT_FALSE(mismatch.CarriedOut());
    hart::Response warning = hart::DecodeResponse(1, 24);
    EXPECT_EQ(warning.name, "command-specific warning 24");
    EXPECT_TRUE(warning.CarriedOut());
    EXPECT_TRUE(hart::DecodeResponse(9, 8).CarriedOut());
    EXPECT_EQ(hart::DecodeResponse(1, 8).name, "command-specific error 8");
    EXPECT_EQ(hart::DecodeResponse(48, 14).name, "status bytes mismatch");
    EXPECT_EQ(hart::DecodeResponse(48, 14).kind, hart::ResponseClass::Warning);
    EXPECT_EQ(hart::DecodeResponse(1, 40).name, "command-specific error 40");
    hart::Response line = hart::DecodeResponse(1, 0xD0);
    EXPECT_EQ(line.kind, hart::ResponseClass::CommunicationError);
    EXPECT_EQ(line.communicationErrors, (std::vector<std::string>{"vertical parity error", "framing error"}));

    EXPECT_EQ(hart::BitNames(hart::DeviceStatusBits(), 0xE0),
              (std::vector<std::string>{"field device malfunction", "configuration changed", "cold start"}));
    EXPECT_EQ(hart::UnitText(32), "degC");
    EXPECT_EQ(hart::UnitText(12), "kPa");
    EXPECT_EQ(hart::UnitText(200), "unit 200");
}

TEST(UniversalTest, IdentityInTheLayoutsOfRevisionFiveAndSeven)
{
    const Bytes five{0xFE, 0x26, 0x06, 0x05, 0x05, 0x01, 0x03, 0x10, 0x00, 0x10, 0x00, 0x01};
    hart::Identity old = *hart::DecodeIdentity(five);
    EXPECT_EQ(old.manufacturer, 0x26);
    EXPECT_EQ(old.deviceType, 0x06);
    EXPECT_EQ(old.universalRevision, 5);
    EXPECT_EQ(old.hardwareRevision, 2);
    EXPECT_EQ(old.deviceId, 0x100001u);
    EXPECT_FALSE(old.configurationChangeCounter);
    EXPECT_EQ(old.LongAddress().Text(), "26 06 10 00 01");

    const Bytes seven{0xFE, 0xE1, 0x23, 0x05, 0x07, 0x02, 0x04, 0x0A, 0x01, 0x12, 0x34,
                      0x56, 0x05, 0x08, 0x00, 0x2A, 0x01, 0x60, 0x1A, 0x00, 0x00, 0x01};
    hart::Identity now = *hart::DecodeIdentity(seven);
    EXPECT_EQ(now.ExpandedDeviceType(), 0xE123);
    EXPECT_EQ(now.hardwareRevision, 1);
    EXPECT_EQ(now.physicalSignaling, 2);
    EXPECT_EQ(now.deviceId, 0x123456u);
    EXPECT_EQ(now.responsePreambles, 5);
    EXPECT_EQ(now.maxDeviceVariables, 8);
    EXPECT_EQ(now.configurationChangeCounter, 42);
    EXPECT_EQ(now.extendedStatus, 0x01);
    EXPECT_EQ(now.manufacturerCode, 0x601A);
    EXPECT_EQ(now.deviceProfile, 1);
    /* The expanded device type's top two bits are not part of the long address. */
    EXPECT_EQ(now.LongAddress().Text(), "21 23 12 34 56");

    EXPECT_FALSE(hart::DecodeIdentity(Bytes(five.begin(), five.end() - 1)));
    Bytes notZero = five;
    notZero[0] = 0;
    EXPECT_FALSE(hart::DecodeIdentity(notZero));
}

TEST(UniversalTest, MeasurementsDecodeToFloatsAndUnitCodes)
{
    const Bytes three{0x40, 0x80, 0x00, 0x00, 0x20, 0x41, 0x48, 0x00, 0x00, 0x20, 0x41, 0xA8, 0x00, 0x00};
    hart::DynamicVariables dynamic = *hart::DecodeDynamicVariables(three);
    EXPECT_EQ(dynamic.loopCurrent, 4.0f);
    ASSERT_EQ(dynamic.variables.size(), 2u);
    EXPECT_EQ(dynamic.variables[0].unit, 32);
    EXPECT_EQ(dynamic.variables[0].value, 12.5f);
    EXPECT_EQ(dynamic.variables[1].value, 21.0f);

    /* One slot (good, not limited; then poor accuracy, constant) and a time stamp of one second. */
    Bytes nine{0x00, 0x00, 0x40, 0x20, 0x41, 0x48, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x7D, 0x00};
    hart::DeviceVariables variables = *hart::DecodeDeviceVariables(nine);
    ASSERT_EQ(variables.slots.size(), 1u);
    EXPECT_EQ(variables.slots[0].measurement.value, 12.5f);
    EXPECT_STREQ(variables.slots[0].Quality(), "good");
    EXPECT_STREQ(variables.slots[0].Limit(), "not limited");
    EXPECT_EQ(variables.timeStamp, 32000u);
    nine[8] = 0x70;
    nine.resize(9);
    variables = *hart::DecodeDeviceVariables(nine);
    EXPECT_STREQ(variables.slots[0].Quality(), "poor accuracy");
    EXPECT_STREQ(variables.slots[0].Limit(), "constant");
    EXPECT_FALSE(variables.timeStamp);

    const Bytes fifteen{0x00, 0x01, 0x0C, 0x42, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x3F, 0x80, 0x00, 0x00, 0x00, 0xFA, 0x00};
    hart::DeviceInformation information = *hart::DecodeDeviceInformation(fifteen);
    EXPECT_EQ(information.rangeUnit, 12);
    EXPECT_EQ(information.upperRange, 100.0f);
    EXPECT_EQ(information.damping, 1.0f);
    EXPECT_EQ(information.analogChannelFlags, 0);
    EXPECT_FALSE(hart::DecodeDeviceInformation(std::span(fifteen).first(16)));

    const Bytes quiet{0x7F, 0xA0, 0x00, 0x00};
    EXPECT_TRUE(std::isnan(hart::ReadFloat(quiet, 0)));
    EXPECT_EQ(hart::Widen(0.1f), 0.1);
}

TEST(UniversalTest, TextsDatesAndStatusBytes)
{
    Bytes thirteen{0x04, 0x20, 0xC4, 0x82, 0x08, 0x20};
    for (int i = 0; i < 4; i++) {
        thirteen.insert(thirteen.end(), {0x82, 0x08, 0x20});
    }
    thirteen.insert(thirteen.end(), {0x07, 0x0C, 0x7E});
    hart::TagDescriptorDate tdd = *hart::DecodeTagDescriptorDate(thirteen);
    EXPECT_EQ(tdd.tag, "ABCD");
    EXPECT_EQ(tdd.descriptor, "");
    EXPECT_EQ(tdd.date, (hart::Date{7, 12, 2026}));
    /* Writing them back gives the same bytes. */
    EXPECT_EQ(hart::WriteTagDescriptorDate("abcd", "", hart::Date{7, 12, 2026})->data, thirteen);

    Bytes twenty(32, 0);
    twenty[0] = 'M';
    twenty[1] = 0xFC;
    twenty[2] = 'l';
    EXPECT_EQ(hart::DecodeLongTag(twenty), "M\u00fcl");

    const Bytes fortyEight{0x01, 0, 0, 0, 0, 0, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    hart::AdditionalStatus status = *hart::DecodeAdditionalStatus(fortyEight);
    EXPECT_EQ(status.deviceSpecific, (Bytes{0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(hart::BitNames(hart::ExtendedStatusBits(), *status.extendedStatus),
              std::vector<std::string>{"outside its rated range"});
    EXPECT_EQ(status.standardized, (Bytes{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hart::BitNames(hart::StandardizedStatus0Bits(), status.standardized[0]),
              std::vector<std::string>{"simulation active"});
    EXPECT_EQ(status.analogChannelFixed, 0);

    EXPECT_EQ(hart::DecodeConfigurationChangeCounter(Bytes{0x00, 0x2A}), 42);
    EXPECT_FALSE(hart::DecodeConfigurationChangeCounter(Bytes{}));
}

TEST(UniversalTest, RequestsCarryTheirDataAndRefuseWhatDoesNotFit)
{
    EXPECT_EQ(hart::ReadUniqueIdentifierByTag("TT-101")->data, (Bytes{0x51, 0x4B, 0x71, 0xC3, 0x18, 0x20}));
    EXPECT_FALSE(hart::ReadUniqueIdentifierByTag("TT~1"));
    EXPECT_FALSE(hart::ReadUniqueIdentifierByTag("NINECHARS"));
    EXPECT_FALSE(hart::WriteMessage(std::string(33, 'A')));
    EXPECT_EQ(hart::WriteMessage(std::string(32, 'A'))->data.size(), 24u);
    EXPECT_FALSE(hart::ReadUniqueIdentifierByLongTag(std::string(33, 'x')));
    hart::Command byLongTag = *hart::ReadUniqueIdentifierByLongTag("PUMP 7");
    EXPECT_EQ(byLongTag.number, 21);
    EXPECT_EQ(byLongTag.data.size(), 32u);
    EXPECT_EQ(byLongTag.data[5], '7');
    EXPECT_EQ(byLongTag.data[6], 0);
    EXPECT_EQ(hart::ResetConfigurationChanged(0x0102).data, (Bytes{0x01, 0x02}));
    EXPECT_TRUE(hart::ResetConfigurationChanged().data.empty());
    EXPECT_EQ(hart::WriteFinalAssemblyNumber(0x0A0B0C).data, (Bytes{0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(hart::WritePollingAddress(5, 0).data, (Bytes{5, 0}));
}

TEST(AddressingTest, CommandsAbove255AreWrappedAndUnwrapped)
{
    hart::Request request = hart::Expanded(hart::Request{}, 1000, Bytes{0x01});
    EXPECT_EQ(request.command, 31);
    EXPECT_EQ(request.data, (Bytes{0x03, 0xE8, 0x01}));
    EXPECT_EQ(hart::Expanded(hart::Request{}, 48, Bytes{}).command, 48);

    hart::Frame answer = *hart::ParseFrame(Bytes{0x06, 0x80, 0x1F, 0x05, 0x00, 0x00, 0x03, 0xE8, 0xAB, 0xDC});
    EXPECT_TRUE(hart::Answers(answer, request));
    hart::Request other = hart::Expanded(hart::Request{}, 1001, Bytes{});
    EXPECT_FALSE(hart::Answers(answer, other)) << "another expanded command's answer";
    hart::Unwrap(answer);
    EXPECT_EQ(answer.command, 1000);
    EXPECT_EQ(answer.data, (Bytes{0x00, 0x00, 0xAB}));

    /* A device that does not know command 31 answers with the status bytes alone. */
    hart::Frame refused = *hart::ParseFrame(Bytes{0x06, 0x80, 0x1F, 0x02, 0x40, 0x00, 0xDB});
    EXPECT_TRUE(hart::Answers(refused, request));
    hart::Unwrap(refused);
    EXPECT_EQ(refused.command, 31);
}

TEST(AddressingTest, DirectoryFindsEachDeviceOnceAndRoutesByCommand)
{
    std::vector<hart::Request> asked;
    const Bytes identity{0x00, 0x00, 0xFE, 0x26, 0x06, 0x05, 0x07, 0x01, 0x03, 0x10, 0x00, 0x10, 0x00, 0x02};
    hart::Directory directory(
        [&](const hart::Request& request) -> std::optional<hart::Frame> {
            asked.push_back(request);
            if (request.command == 11 && request.data != hart::ReadUniqueIdentifierByTag("PT-1")->data) {
                return std::nullopt;
            }
            hart::Frame answer;
            answer.delimiter = 0x06;
            answer.command = request.command;
            answer.data = identity;
            return answer;
        },
        true);
    std::string why;
    EXPECT_EQ(directory.Route(hart::Target::Polling(2), 0, why)->Text(), "2");
    EXPECT_TRUE(asked.empty()) << "command 0 goes to the polling address as it is";
    EXPECT_EQ(directory.Route(hart::Target::Polling(2), 1, why)->Text(), "26 06 10 00 02");
    EXPECT_EQ(directory.Route(hart::Target::Polling(2), 48, why)->Text(), "26 06 10 00 02");
    ASSERT_EQ(asked.size(), 1u) << "the long address is kept for the session";
    EXPECT_EQ(asked[0].address.Text(), "2");
    EXPECT_EQ(asked[0].command, 0);
    EXPECT_EQ(directory.Route(hart::Target::Polling(2, true), 1, why)->Text(), "2");

    EXPECT_TRUE(directory.Route(hart::Target::ByTag("pt-1"), 11, why)->IsBroadcast());
    EXPECT_EQ(directory.Route(hart::Target::ByTag("pt-1"), 13, why)->Text(), "26 06 10 00 02");
    EXPECT_EQ(directory.Route(hart::Target::ByTag("PT-1"), 1, why)->Text(), "26 06 10 00 02");
    ASSERT_EQ(asked.size(), 2u) << "one tag, however it is written";
    EXPECT_TRUE(asked[1].address.IsBroadcast());

    EXPECT_FALSE(directory.Route(hart::Target::ByTag("PT-2"), 1, why));
    EXPECT_EQ(why, "no device identified itself to command 11 for the tag 'PT-2'");
    EXPECT_FALSE(directory.Route(hart::Target::ByTag("pt{}"), 1, why));
    EXPECT_NE(why.find("not 8 characters of packed ASCII"), std::string::npos) << why;
    EXPECT_TRUE(directory.Route(hart::Target::ByLongTag("FLOW 7"), 21, why)->IsBroadcast());
    EXPECT_EQ(asked.size(), 3u);
}

TEST(AddressingTest, ADeviceSwappedAtItsPollingAddressIsIdentifiedAgainOnceForgotten)
{
    /* Device ID 00 00 02 first, then another device (ID 00 00 09) at the same polling address. */
    std::uint8_t deviceId = 0x02;
    int asked = 0;
    hart::Directory directory(
        [&](const hart::Request& request) -> std::optional<hart::Frame> {
            ++asked;
            hart::Frame answer;
            answer.delimiter = 0x06;
            answer.command = request.command;
            answer.data = {0x00, 0x00, 0xFE, 0x26, 0x06, 0x05, 0x07, 0x01, 0x03, 0x10, 0x00, 0x00, 0x00, deviceId};
            return answer;
        },
        true);
    std::string why;
    EXPECT_EQ(directory.Route(hart::Target::Polling(3), 1, why)->Text(), "26 06 00 00 02");
    deviceId = 0x09;
    EXPECT_EQ(directory.Route(hart::Target::Polling(3), 1, why)->Text(), "26 06 00 00 02")
        << "the session keeps what it learned until told otherwise";
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(directory.Forget(hart::Target::Polling(3)));
    EXPECT_FALSE(directory.Forget(hart::Target::Polling(3)));
    EXPECT_EQ(directory.Route(hart::Target::Polling(3), 1, why)->Text(), "26 06 00 00 09");
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(directory.Route(hart::Target::Polling(4), 1, why)->Text(), "26 06 00 00 09") << "other targets unaffected";
}

} // namespace
