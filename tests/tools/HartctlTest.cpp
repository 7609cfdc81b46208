/* hartctl run in-process: what it prints and its exit status. */
#include <gtest/gtest.h>

#include <filesystem>

#include "HartctlRun.h"
#include "Output.h"
#include "PtyLine.h"
#include "app/Frame.h"

namespace {

using hart::Bytes;

using namespace hartctltest;

TEST(HartctlOutputTest, AnswersAreToldInWordsAndAsNumbers)
{
    EXPECT_EQ(hartctl::ResponseText(0, 0), "success");
    EXPECT_EQ(hartctl::ResponseText(1, 64), "command not implemented");
    EXPECT_EQ(hartctl::ResponseText(1, 0x88), "communication error: longitudinal parity error");

    /* Command 1 answered with configuration changed and cold start set: 12.5 degC. */
    const hart::Frame frame = *hart::ParseFrame(Bytes{0x06, 0x80, 0x01, 0x07, 0x00, 0x60, 0x20, 0x41, 0x48, 0x00, 0x00, 0xC9});
    EXPECT_EQ(hartctl::DescribeAnswer(frame),
              "command 1: success, device: configuration changed, cold start; primary variable 12.5 degC");
    nlohmann::json json = hartctl::AnswerJson(frame);
    EXPECT_EQ(json["response_code"], 0);
    EXPECT_EQ(json["response_class"], "success");
    EXPECT_EQ(json["device_status"]["code"], 0x60);
    EXPECT_EQ(json["device_status"]["configuration_changed"], true);
    EXPECT_EQ(json["device_status"]["cold_start"], true);
    EXPECT_EQ(json["device_status"]["field_device_malfunction"], false);
    EXPECT_EQ(json["fields"]["primary_variable"]["value"], 12.5);
    EXPECT_EQ(json["fields"]["primary_variable"]["unit"]["code"], 32);
    EXPECT_EQ(json["fields"]["primary_variable"]["unit"]["name"], "degC");
}

TEST(HartctlTest, BadInputIsAUsageErrorThatSaysWhatIsWrong)
{
    const std::string directory = std::filesystem::temp_directory_path().string();
    std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"sned"}, "unknown command 'sned'"},
        {{"--tty=/dev/null", "--bogus"}, "unknown option '--bogus'"},
        {{"--sim", "-p", "COM1"}, "no command given"},
        {{"--sim", "send", "70000"}, "70000 is not a command number (0-65535)"},
        {{"--sim", "send", "0", "zz"}, "hex"},
        {{"--sim", "send", "17", std::string(2 * 256, 'A')}, "at most 255 data bytes, not 256"},
        {{"--sim", "send", "1000", std::string(2 * 254, 'A')}, "command 1000 carries at most 253 data bytes"},
        {{"--sim", "--tty", "/dev/null", "ports"}, ""},
        {{"--tty", "", "send", "0"}, "--tty: needs the path of a terminal"},
        {{"--tty", directory, "send", "0"}, directory + " is a directory, not a terminal"},
        {{"--tcp", "--sim", "send", "0"}, ""}, /* --tcp needs --hart-ip */
        {{"--hart-ip", "127.0.0.1", "--sim", "send", "0"}, ""},
        {{"--hart-ip", "127.0.0.1", "config"}, "needs the driver"},
        {{"--hart-ip", "127.0.0.1", "poll", "pv"}, ""},
        {{"--hart-ip", "127.0.0.1", "burst", "show"}, ""},
        {{"--sim", "poll", "--every", "0s", "pv"}, "--every: wants a time from 100ms to 24h"},
        {{"--sim", "poll", "--duration", "0", "pv"}, "--duration: wants a time"},
        {{"--sim", "poll", "--duration", "43201min", "pv"}, "--duration: wants a time"},
        {{"--sim", "poll", "--count", "0", "pv"}, "--count"},
        {{"--sim", "poll", "--count", "many", "pv"}, "--count"},
        {{"--sim", "poll", "vars"}, "poll vars wants one to eight device variable codes"},
        {{"--sim", "poll", "vars", "0,1,2,3,4,5,6,7,8"}, "poll vars wants one to eight"},
        {{"--sim", "poll", "vars", "256"}, "CODES"},
        {{"--sim", "poll", "pv", "1"}, "poll pv takes no device variable codes"},
        {{"--sim", "poll", "temperature"}, "WHAT"},
        {{"--sim", "poll", "-a", "64", "pv"}, "--address"},
        {{"--sim", "poll", "-l", "26 06", "pv"}, "--long-address wants 5 bytes"},
        {{"--sim", "poll", "-a", "1", "-t", "TT-100", "pv"}, "excludes"},
        {{"--sim", "burst", "toggle"}, "ACTION"},
        {{"--sim", "burst", "on", "--period", "10ms"}, "--period: wants a time from 100ms to 1h"},
        {{"--sim", "burst", "on", "--command", "no-such-command"}, "--command: wants a command number"},
        {{"--sim", "burst", "on", "--command", "65536"}, "--command"},
        {{"--sim", "burst", "on", "--message", "256"}, "--message"},
        {{"--sim", "burst", "on", "--variables", "0,1,2,3,4,5,6,7,8"}, "at most eight"},
        {{"--sim", "burst", "off", "--command", "3"}, "--command is for burst on, not burst off"},
        {{"--sim", "burst", "on", "--count", "3"}, "--count is for burst show"},
        {{"--sim", "burst", "show", "-a", "1"}, "--address: burst show prints the burst frames of every device"},
        {{"--sim", "burst", "show", "--duration", "-1"}, "--duration"},
    };
    for (const char* every : {"50ms", "25h", "1441min", "nan", "1 s"}) {
        cases.push_back({{"--sim", "poll", "--every", every, "pv"}, "--every: wants a time"});
    }
    for (const char* duration : {"nan", "inf", "1e12", "0", "-1", "2592001"}) {
        cases.push_back({{"--sim", "monitor", "--duration", duration}, "--duration: wants seconds above 0"});
    }
    for (const char* retries : {"-1", "256", "many"}) {
        cases.push_back({{"--sim", "send", "1", "--busy-retries", retries}, "--busy-retries"});
    }
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        Outcome usage = Hartctl(args);
        EXPECT_EQ(usage.status, 2) << usage.out;
        EXPECT_NE(usage.err.find(expected), std::string::npos) << usage.err;
        /* Only the word at fault is named, never a good option before it or an option where none is wrong. */
        EXPECT_EQ(usage.err.find("'--tty=/dev/null'"), std::string::npos) << usage.err;
        if (expected.find("unknown option") == std::string::npos) {
            EXPECT_EQ(usage.err.find("unknown option"), std::string::npos) << usage.err;
        }
    }
    hart::Request request;
    request.data.resize(256);
    EXPECT_THROW(hart::BuildRequest(request), std::length_error);

    Outcome help = Hartctl({"identify", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--last"), std::string::npos) << help.out;
}

TEST(HartctlTest, SendOnTheSimulatedLineDecodesTheAnswer)
{
    Outcome sent = Hartctl({"send", "--sim", "0"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("request  FF FF FF FF FF 02 80 00 00 82"), std::string::npos) << sent.out;
    EXPECT_NE(sent.out.find("answer   06 80 00 18 00 00 FE"), std::string::npos) << sent.out;
    EXPECT_NE(sent.out.find("command 0: success, device ok"), std::string::npos) << sent.out;

    Outcome silent = Hartctl({"--sim", "send", "0", "--address", "7"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_THAT(silent.err, HasSubstr("no answer from the device after 3 attempts (STATUS_TRANSACTION_TIMED_OUT)"));

    Outcome refused = Hartctl({"--sim", "--json", "send", "99"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.out.find("\"response\": \"command not implemented\""), std::string::npos) << refused.out;
}

TEST(HartctlTest, IdentifyAndMonitorOnTheSimulatedLine)
{
    Outcome found = Hartctl({"--sim", "--sim-devices", "2", "identify", "--last", "3"});
    ASSERT_EQ(found.status, 0) << found.err;
    EXPECT_THAT(found.out, HasSubstr("   1  0x26   0x06  0x100001   26 06 10 00 01    7  TT-101"));
    EXPECT_EQ(found.err, "") << "no progress where standard error is no terminal";

    Outcome watched = Hartctl({"--sim", "monitor", "--count", "2"});
    ASSERT_EQ(watched.status, 0) << watched.err;
    EXPECT_NE(watched.out.find("STX other master"), std::string::npos) << watched.out;
    EXPECT_NE(watched.out.find("ACK other master"), std::string::npos) << watched.out;
}

TEST(HartctlTest, SendAndConfigThroughATerminal)
{
    tools::PtyLine line(1);
    Outcome sent = Hartctl({"--tty", line.Path(), "send", "1"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("primary variable 12.5 degC"), std::string::npos) << sent.out;

    Outcome missing = Hartctl({"--tty", "/dev/hart-no-such-tty", "send", "0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("does not exist (STATUS_NO_SUCH_DEVICE)"), std::string::npos) << missing.err;

    /* A baud rate the terminal refuses is a failure. */
    Outcome refused = Hartctl({"--tty", line.Path(), "config", "--baud", "12345"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("did not take 12345 bit/s; it still runs at 1200 bit/s"));

    Outcome taken = Hartctl({"--tty", line.Path(), "config", "--baud", "9600"});
    EXPECT_EQ(taken.status, 0) << taken.err;
    EXPECT_NE(taken.out.find("baud rate    9600"), std::string::npos) << taken.out;
}
TEST(HartctlTest, AnAnswerFromElsewhereIsNeitherShownNorSuccess)
{
    /* Device 0 answers command 1 as if it were another device answering command 2. */
    Outcome misaddressed = OnLine({"--sim", "send", "1", "--retries", "0"}, [](sim::SimulatedSystem& system) {
        system.Device(0).Config().alterAnswer = [](sim::HartFrame& frame) {
            if (frame.command == 1) {
                frame.address[0] = static_cast<std::uint8_t>((frame.address[0] & 0xC0) | 3);
                frame.command = 2;
            }
        };
    });
    EXPECT_EQ(misaddressed.status, 1);
    EXPECT_EQ(misaddressed.out.find("\nanswer "), std::string::npos) << misaddressed.out;
    EXPECT_NE(misaddressed.out.find("ignored  86 83 06 10 00 00 02"), std::string::npos) << misaddressed.out;
    EXPECT_THAT(misaddressed.err, HasSubstr("no answer from the device asked; set aside as not its answer: ACK from "
                                            "03 06 10 00 00 for command 2 (STATUS_TRANSACTION_TIMED_OUT)"));

    /* A device that answers every request twice leaves an answer behind for
       the next request; each device is listed with its own identity and tag. */
    Outcome twice = OnLine({"--sim", "--sim-devices", "2", "identify", "--last", "1"},
                                  [](sim::SimulatedSystem& system) { system.Device(0).Config().answerRepeats = 1; });
    ASSERT_EQ(twice.status, 0) << twice.err;
    EXPECT_THAT(twice.out, HasSubstr("   0  0x26   0x06  0x100000   26 06 10 00 00    7  TT-100\n"));
    EXPECT_THAT(twice.out, HasSubstr("   1  0x26   0x06  0x100001   26 06 10 00 01    7  TT-101\n"));
}

TEST(HartctlTest, InputBeyondWhatTheToolCanHandleIsRefused)
{
    Outcome endless = Hartctl({"--sim", "--reg", "/dev/zero", "ports"});
    EXPECT_EQ(endless.status, 1);
    EXPECT_NE(endless.err.find("/dev/zero: larger than 16 MiB"), std::string::npos) << endless.err;

    Outcome bounded = Hartctl({"--sim", "monitor", "--duration", "2.5"});
    EXPECT_EQ(bounded.status, 0) << bounded.err;
    EXPECT_NE(bounded.out.find("STX other master"), std::string::npos) << bounded.out;
}

TEST(HartctlTest, DevicesAreReachedAtTheAddressTheirRevisionWants)
{
    /* Command 0 at the polling address finds the long address; command 1 goes there. */
    Outcome byPolling = Hartctl({"--sim", "--sim-devices", "2", "send", "1", "-a", "1"});
    ASSERT_EQ(byPolling.status, 0) << byPolling.err;
    EXPECT_NE(byPolling.out.find("request  FF FF FF FF FF 82 A6 06 10 00 01 01 00"), std::string::npos) << byPolling.out;

    Outcome byTag = Hartctl({"--sim", "--sim-devices", "2", "send", "13", "-t", "tt-101"});
    ASSERT_EQ(byTag.status, 0) << byTag.err;
    EXPECT_THAT(byTag.out, HasSubstr("ACK from 26 06 10 00 01, command 13: success, device ok; tag TT-101"));
    Outcome identifyByTag = Hartctl({"--sim", "--sim-devices", "2", "send", "11", "-t", "TT-100"});
    ASSERT_EQ(identifyByTag.status, 0) << identifyByTag.err;
    EXPECT_THAT(identifyByTag.out, HasSubstr("request  FF FF FF FF FF 82 80 00 00 00 00 0B 06"));
    EXPECT_NE(identifyByTag.out.find("device id 0x100000"), std::string::npos) << identifyByTag.out;
    Outcome noSuchTag = Hartctl({"--sim", "send", "1", "-t", "PT-999", "--retries", "0"});
    EXPECT_EQ(noSuchTag.status, 1);
    EXPECT_THAT(noSuchTag.err, HasSubstr("no device identified itself to command 11 for the tag 'PT-999'"));

    Outcome byLongTag = OnLine({"--sim", "--sim-devices", "2", "send", "20", "--long-tag", "FLOW 7"},
                                      [](sim::SimulatedSystem& system) { system.Device(1).Config().longTag = "FLOW 7"; });
    ASSERT_EQ(byLongTag.status, 0) << byLongTag.err;
    EXPECT_THAT(byLongTag.out, HasSubstr("ACK from 26 06 10 00 01, command 20: success, device ok; long tag FLOW 7"));

    /* A revision-7 device answers nothing but command 0 in a short frame; a revision-5 one does. */
    Outcome shortToSeven = Hartctl({"--sim", "send", "1", "--short", "--retries", "0"});
    EXPECT_EQ(shortToSeven.status, 1);
    Outcome shortToFive = OnLine({"--sim", "send", "1", "--short"}, [](sim::SimulatedSystem& system) {
        system.Device(0).Config().universalRevision = 5;
    });
    ASSERT_EQ(shortToFive.status, 0) << shortToFive.err;
    EXPECT_NE(shortToFive.out.find("request  FF FF FF FF FF 02 80 01 00 83"), std::string::npos) << shortToFive.out;
}

TEST(HartctlTest, CommandsAbove255TravelInsideCommand31)
{
    auto deviceSpecific = [](sim::SimulatedSystem& system) { system.Device(0).Config().expandedCommands[1000] = {0xAB}; };
    Outcome known = OnLine({"--sim", "--json", "send", "1000", "01"}, deviceSpecific);
    ASSERT_EQ(known.status, 0) << known.err;
    nlohmann::json answer = nlohmann::json::parse(known.out);
    EXPECT_EQ(answer["request"], "FF FF FF FF FF 82 A6 06 10 00 00 1F 03 03 E8 01 C4");
    EXPECT_EQ(answer["command"], 1000);
    EXPECT_EQ(answer["response"], "success");

    Outcome unknown = OnLine({"--sim", "send", "1001"}, deviceSpecific);
    EXPECT_EQ(unknown.status, 3);
    EXPECT_NE(unknown.out.find("command 1001: command not implemented"), std::string::npos) << unknown.out;
}

TEST(HartctlTest, ABusyDeviceIsAskedAgainWithinTheBound)
{
    /* Busy, then a delayed response that runs a while before the real answer. */
    auto busyFor = [](std::vector<std::uint8_t> codes) {
        return [codes](sim::SimulatedSystem& system) {
            system.Device(0).Config().alterAnswer = [codes, answered = std::size_t{0}](sim::HartFrame& frame) mutable {
                if (frame.command == 1 && answered < codes.size()) {
                    frame.data = {codes[answered++], 0};
                }
            };
        };
    };
    Outcome patient = OnLine({"--sim", "send", "1"}, busyFor({32, 33, 34}));
    ASSERT_EQ(patient.status, 0) << patient.err;
    EXPECT_THAT(patient.out, HasSubstr("busy     repeated 3 times after: device is busy, delayed response initiated, "
                                       "delayed response running\n"));
    EXPECT_NE(patient.out.find("primary variable 12.5 degC"), std::string::npos) << patient.out;

    Outcome exhausted = OnLine({"--sim", "--json", "send", "1", "--busy-retries", "1"}, busyFor({32, 32, 32}));
    EXPECT_EQ(exhausted.status, 3);
    nlohmann::json json = nlohmann::json::parse(exhausted.out);
    EXPECT_EQ(json["outcome"], "busy-exhausted");
    EXPECT_EQ(json["attempts"], 2);
    EXPECT_EQ(json["busy"].size(), 2u);
    EXPECT_EQ(json["error"], "the device was still busy after 1 repeat");

    /* Inside command 31 too; and an answer naming another expanded command is never taken. */
    auto expanded = [](std::function<void(sim::HartFrame&)> alter) {
        return [alter](sim::SimulatedSystem& system) {
            system.Device(0).Config().expandedCommands[1000] = {0xAB};
            system.Device(0).Config().alterAnswer = [alter](sim::HartFrame& frame) {
                if (frame.command == sim::kExpandedCommand) {
                    alter(frame);
                }
            };
        };
    };
    Outcome dead = OnLine({"--sim", "send", "1000"}, expanded([](sim::HartFrame& frame) { frame.data[0] = 35; }));
    EXPECT_EQ(dead.status, 3);
    EXPECT_THAT(dead.err, HasSubstr("the device gave up the command it was working on (delayed response dead)"));
    Outcome other = OnLine({"--sim", "send", "1000", "--retries", "0"},
                                  expanded([](sim::HartFrame& frame) { frame.data[3] = 0xE9; }));
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out.find("\nanswer "), std::string::npos) << other.out;
    EXPECT_THAT(other.err, HasSubstr("set aside as not its answer: ACK from 26 06 10 00 00 for command 31"));
}

} // namespace
