/* hartctl's commands by name, identify's progress, poll and burst: what they print and their exit status. */
#include <gtest/gtest.h>

#include <sstream>

#include "HartctlRun.h"
#include "Output.h"
#include "Poll.h"
#include "PtyLine.h"
#include "app/Frame.h"
#include "app/Status.h"

namespace {

using nlohmann::json;

using namespace hartctltest;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Cells(const std::string& line)
{
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');) {
        cells.push_back(cell);
    }
    if (!line.empty() && line.back() == ',') {
        cells.emplace_back();
    }
    return cells;
}

/* Milliseconds of the day of a poll's 2024-05-01T12:00:00.123Z. */
long long DayMilliseconds(const std::string& time)
{
    return std::stoll(time.substr(11, 2)) * 3'600'000 + std::stoll(time.substr(14, 2)) * 60'000 +
           std::stoll(time.substr(17, 2)) * 1000 + std::stoll(time.substr(20, 3));
}

TEST(HartctlSendByNameTest, NamesAndNumbersReachTheSameCommand)
{
    Outcome byName = OnLine({"--sim", "--json", "send", "read-dynamic-variables"});
    ASSERT_EQ(byName.status, 0) << byName.err;
    json answer = json::parse(byName.out);
    EXPECT_EQ(answer["command"], 3);
    EXPECT_TRUE(answer["fields"]["loop_current"]["value"].is_number()) << byName.out;
    EXPECT_EQ(answer["fields"]["primary_variable"]["value"], 12.5);

    Outcome spelled = OnLine({"--sim", "send", "Read Primary Variable"});
    ASSERT_EQ(spelled.status, 0) << spelled.err;
    EXPECT_NE(spelled.out.find("command 1: success"), std::string::npos) << spelled.out;

    Outcome near = Hartctl({"--sim", "send", "dynamic-variables"});
    EXPECT_EQ(near.status, 2);
    EXPECT_NE(near.err.find("no command is named 'dynamic-variables'; did you mean read-dynamic-variables (3)"),
              std::string::npos)
        << near.err;
    Outcome nothingLike = Hartctl({"--sim", "send", "frobnicate"});
    EXPECT_EQ(nothingLike.status, 2);
    EXPECT_NE(nothingLike.err.find("give a number 0-65535 or a name"), std::string::npos) << nothingLike.err;
}

TEST(HartctlIdentifyTest, ProgressOnlyWhenErrIsATerminal)
{
    /* Where standard error is no terminal there is no progress: the identify run in HartctlTest checks that. */
    auto terminal = [](hartctl::Options& options) { options.progress = true; };
    Outcome shown = OnLine({"--sim", "--sim-devices", "2", "identify", "--last", "3"}, {}, {}, terminal);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_THAT(shown.err, HasSubstr("\r\033[Kscanning polling address 3 of 0-3, 2 devices found"));
    /* The last progress line is wiped, so the shell's prompt starts on a clean line. */
    EXPECT_EQ(shown.err.substr(shown.err.size() - 4), "\r\033[K");
    EXPECT_NE(shown.out.find("TT-101"), std::string::npos) << shown.out;

    /* Ctrl-C during the scan: the devices found so far, and a failure that says where it stopped. */
    Outcome interrupted = OnLine({"--sim", "--sim-devices", "3", "identify", "--last", "63"},
                                 [](sim::SimulatedSystem& system) {
                                     system.Device(1).Config().alterAnswer = [](sim::HartFrame&) {
                                         hartctl::RequestStop();
                                     };
                                 });
    hartctl::ClearStop();
    EXPECT_EQ(interrupted.status, 1);
    EXPECT_NE(interrupted.out.find("TT-101"), std::string::npos) << interrupted.out;
    EXPECT_EQ(interrupted.out.find("TT-102"), std::string::npos) << interrupted.out;
    EXPECT_NE(interrupted.err.find("interrupted before polling address 2"), std::string::npos) << interrupted.err;
}

TEST(HartctlJsonTest, NumbersUnitsAndFlagsKeepTheirTypes)
{
    /* Command 9: device variables 0 and 1 with status, and the extended status as named flags. */
    Outcome read = OnLine({"--sim", "--json", "send", "9", "00 01"});
    ASSERT_EQ(read.status, 0) << read.err;
    json answer = json::parse(read.out);
    const json& fields = answer["fields"];
    ASSERT_TRUE(fields["extended_status"].is_object()) << read.out;
    EXPECT_TRUE(fields["extended_status"]["code"].is_number());
    for (const hart::NamedBit& bit : hart::ExtendedStatusBits()) {
        EXPECT_TRUE(fields["extended_status"][bit.key].is_boolean()) << bit.key;
    }
    EXPECT_EQ(fields["device_variable_0"]["value"], 12.5);
    EXPECT_EQ(fields["device_variable_0"]["unit"], (json{{"code", 32}, {"name", "degC"}, {"key", "deg_c"}}));
    EXPECT_TRUE(answer["device_status"]["field_device_malfunction"].is_boolean());
    EXPECT_TRUE(answer["response_code"].is_number());

    /* A unit code no table knows keeps its number; name and key are null rather than made up. */
    EXPECT_EQ(hartctl::UnitJson(200), (json{{"code", 200}, {"name", nullptr}, {"key", nullptr}}));
}

TEST(HartctlPollTest, CsvHasAHeaderATimeColumnAndNumbers)
{
    Outcome polled = OnLine({"--sim", "poll", "--every", "1s", "--count", "3", "dynamic"});
    ASSERT_EQ(polled.status, 0) << polled.err;
    std::vector<std::string> lines = Lines(polled.out);
    ASSERT_EQ(lines.size(), 4u) << polled.out;
    EXPECT_EQ(lines[0], "time,loop_current,loop_current_unit,pv,pv_unit,sv,sv_unit,tv,tv_unit,qv,qv_unit,"
                        "device_status,error");
    long long previous = -1;
    for (std::size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> cells = Cells(lines[i]);
        ASSERT_EQ(cells.size(), 13u) << lines[i];
        EXPECT_EQ(cells[0].size(), 24u) << cells[0];
        EXPECT_EQ(cells[0].back(), 'Z') << cells[0];
        EXPECT_EQ(std::stod(cells[1]), 6.0) << lines[i]; /* 12.5 of 0-100 on 4-20 mA */
        EXPECT_EQ(cells[2], "mA");
        EXPECT_EQ(cells[3], "12.5");
        EXPECT_EQ(cells[4], "degC");
        EXPECT_EQ(cells[5], "21");
        EXPECT_EQ(cells[12], "") << lines[i];
        const long long at = DayMilliseconds(cells[0]);
        if (previous >= 0) {
            EXPECT_EQ(at - previous, 1000) << "reads keep to the interval: " << polled.out;
        }
        previous = at;
    }
    EXPECT_EQ(polled.err, "");
}

TEST(HartctlPollTest, JsonLinesCarryNumbersUnitsAndStatus)
{
    Outcome polled = OnLine({"--sim", "--json", "poll", "--every", "500ms", "--count", "2", "vars", "0,1"});
    ASSERT_EQ(polled.status, 0) << polled.err;
    std::vector<std::string> lines = Lines(polled.out);
    ASSERT_EQ(lines.size(), 2u) << polled.out;
    for (const std::string& line : lines) {
        json read = json::parse(line);
        EXPECT_TRUE(read["time"].is_string());
        EXPECT_EQ(read["command"], 9);
        EXPECT_EQ(read["var0"]["value"], 12.5);
        EXPECT_EQ(read["var0"]["unit"]["key"], "deg_c");
        EXPECT_EQ(read["var1"]["value"], 21);
        EXPECT_TRUE(read["var1"]["status"]["code"].is_number()) << line;
        EXPECT_TRUE(read["var1"]["status"]["quality"].is_string()) << line;
        EXPECT_TRUE(read["device_status"]["cold_start"].is_boolean()) << line;
    }
}

TEST(HartctlPollTest, AFailedReadIsALineAndPollingGoesOn)
{
    /* The second read of three is refused; the third reads again. */
    auto refuseSecond = [](sim::SimulatedSystem& system) {
        system.Device(0).Config().alterAnswer = [reads = 0](sim::HartFrame& frame) mutable {
            if (frame.command == 1 && ++reads == 2) {
                frame.data = {64, 0};
            }
        };
    };
    Outcome csv = OnLine({"--sim", "poll", "--count", "3", "pv"}, refuseSecond);
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::vector<std::string> lines = Lines(csv.out);
    ASSERT_EQ(lines.size(), 4u) << csv.out;
    EXPECT_EQ(lines[0], "time,pv,pv_unit,device_status,error");
    EXPECT_NE(lines[1].find(",12.5,degC,"), std::string::npos) << lines[1];
    EXPECT_THAT(lines[2], HasSubstr(",,,,the device refused the command: command not implemented"));
    EXPECT_NE(lines[3].find(",12.5,degC,"), std::string::npos) << lines[3];
    EXPECT_NE(csv.err.find("command not implemented"), std::string::npos) << csv.err;

    Outcome json = OnLine({"--sim", "--json", "poll", "--count", "3", "pv"}, refuseSecond);
    ASSERT_EQ(json.status, 0) << json.err;
    lines = Lines(json.out);
    ASSERT_EQ(lines.size(), 3u) << json.out;
    EXPECT_EQ(json::parse(lines[1])["error"], "the device refused the command: command not implemented");
    EXPECT_EQ(json::parse(lines[2])["pv"]["value"], 12.5);

    /* A device that never answers: a line for every read, and the run fails. */
    Outcome silent = OnLine({"--sim", "poll", "--count", "2", "--retries", "0", "-t", "TT-100", "current"},
                            [](sim::SimulatedSystem& system) { system.Device(0).Config().silent = true; });
    EXPECT_EQ(silent.status, 1);
    lines = Lines(silent.out);
    ASSERT_EQ(lines.size(), 3u) << silent.out;
    EXPECT_THAT(lines[1], HasSubstr(",,,,,,no device identified itself to command 11 for the tag 'TT-100'"));
    EXPECT_NE(silent.err.find("none of 2 reads succeeded"), std::string::npos) << silent.err;
}

TEST(HartctlPollTest, ADeviceSwappedWhilePollingIsFoundAgain)
{
    /* After the first read another device takes polling address 0: the read
       at the old long address goes unanswered, the next one asks who is there. */
    Outcome swapped = OnLine({"--sim", "poll", "--count", "3", "--retries", "0", "pv"}, [](sim::SimulatedSystem& system) {
        sim::FieldDevice& device = system.Device(0);
        device.Config().alterAnswer = [&device](sim::HartFrame& frame) {
            if (frame.command == 1) {
                device.Config().deviceId = 0x0A0B0C;
            }
        };
    });
    ASSERT_EQ(swapped.status, 0) << swapped.err;
    std::vector<std::string> lines = Lines(swapped.out);
    ASSERT_EQ(lines.size(), 4u) << swapped.out;
    EXPECT_NE(lines[1].find(",12.5,degC,"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].find(",12.5,degC,"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(",12.5,degC,"), std::string::npos) << "the new device is read: " << lines[3];
}

TEST(HartctlBurstTest, OnAndOffWriteTheBurstConfiguration)
{
    /* Uses the simulated device's burst commands 103, 108 and 109. */
    Outcome on = OnLine({"--sim", "--json", "burst", "-a", "0", "on", "--command", "read-dynamic-variables",
                         "--period", "1s"},
                        {}, [](sim::SimulatedSystem& system) {
                            EXPECT_TRUE(system.Device(0).Bursting());
                            EXPECT_EQ(system.Device(0).Config().burstCommand, 3);
                            EXPECT_EQ(system.Device(0).Config().burstPeriod, std::chrono::seconds(1));
                        });
    ASSERT_EQ(on.status, 0) << on.err;
    json result = json::parse(on.out);
    ASSERT_EQ(result["steps"].size(), 3u) << on.out;
    /* Burst message 0, update and longest period 32000 counts of 1/32 ms; command 3 in two bytes; mode on. */
    EXPECT_NE(result["steps"][0]["request"].get<std::string>().find(" 67 09 00 00 00 7D 00 00 00 7D 00 "),
              std::string::npos)
        << on.out;
    EXPECT_NE(result["steps"][1]["request"].get<std::string>().find(" 6C 03 00 03 00 "), std::string::npos) << on.out;
    EXPECT_NE(result["steps"][2]["request"].get<std::string>().find(" 6D 02 01 00 "), std::string::npos) << on.out;

    /* A revision-5 device in short frames: no burst message, the command in one byte. */
    Outcome older = OnLine({"--sim", "--json", "burst", "--short", "on", "--command", "2"},
                           [](sim::SimulatedSystem& system) { system.Device(0).Config().universalRevision = 5; },
                           [](sim::SimulatedSystem& system) {
                               EXPECT_TRUE(system.Device(0).Bursting());
                               EXPECT_EQ(system.Device(0).Config().burstCommand, 2);
                           });
    ASSERT_EQ(older.status, 0) << older.err;
    result = json::parse(older.out);
    ASSERT_EQ(result["steps"].size(), 2u) << older.out;
    EXPECT_NE(result["steps"][0]["request"].get<std::string>().find(" 02 80 6C 01 02 "), std::string::npos) << older.out;
    EXPECT_NE(result["steps"][1]["request"].get<std::string>().find(" 02 80 6D 01 01 "), std::string::npos) << older.out;

    Outcome off = OnLine({"--sim", "burst", "off"}, [](sim::SimulatedSystem& system) { system.Device(0).SetBurstMode(true); },
                         [](sim::SimulatedSystem& system) { EXPECT_FALSE(system.Device(0).Bursting()); });
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_NE(off.out.find("Burst Mode Control: command 109: success"), std::string::npos) << off.out;
    EXPECT_NE(off.out.find("burst mode off\n"), std::string::npos) << off.out;

    /* The device refuses a command it cannot publish: the mode is not switched on after it. */
    Outcome refused = OnLine({"--sim", "burst", "on", "--command", "13"}, {},
                             [](sim::SimulatedSystem& system) { EXPECT_FALSE(system.Device(0).Bursting()); });
    EXPECT_EQ(refused.status, 3);
    EXPECT_THAT(refused.err, HasSubstr("Write Burst Mode Command Number: the device refused the command"));
}

TEST(HartctlBurstTest, ShowPrintsBurstFramesDecoded)
{
    Outcome text = OnLine({"--sim", "--sim-burst", "burst", "show", "--count", "2"});
    ASSERT_EQ(text.status, 0) << text.err;
    std::vector<std::string> lines = Lines(text.out);
    ASSERT_EQ(lines.size(), 2u) << text.out;
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("26 06 10 00 00  command 1: success"), std::string::npos) << line;
        EXPECT_NE(line.find("primary variable 12.5 degC"), std::string::npos) << line;
    }

    Outcome lines3 = OnLine({"--sim", "--json", "burst", "show", "--duration", "2s"},
                            [](sim::SimulatedSystem& system) {
                                system.Device(0).Config().burstCommand = 3;
                                system.Device(0).SetBurstMode(true);
                            });
    ASSERT_EQ(lines3.status, 0) << lines3.err;
    lines = Lines(lines3.out);
    ASSERT_FALSE(lines.empty());
    json frame = json::parse(lines[0]);
    EXPECT_EQ(frame["command"], 3);
    EXPECT_EQ(frame["fields"]["primary_variable"]["value"], 12.5);
    EXPECT_TRUE(frame["check_byte_ok"].is_boolean());
}

TEST(HartctlPollBurstTest, DurationsAreReadInTheirUnitsAndCsvCellsQuoted)
{
    EXPECT_EQ(hartctl::ParseDuration("500ms"), std::chrono::milliseconds(500));
    EXPECT_EQ(hartctl::ParseDuration("1.5s"), std::chrono::milliseconds(1500));
    EXPECT_EQ(hartctl::ParseDuration("2min"), std::chrono::minutes(2));
    EXPECT_EQ(hartctl::ParseDuration("30"), std::chrono::seconds(30));
    EXPECT_EQ(hartctl::ParseDuration("1h"), std::chrono::hours(1));
    for (const char* bad : {"", "s", ".", "1e3", "1d", "1.2.3s", "-1s", "1sec", "9999999999999s"}) {
        EXPECT_FALSE(hartctl::ParseDuration(bad)) << bad;
    }
    EXPECT_EQ(hartctl::CsvCell("no answer, set aside: \"x\""), "\"no answer, set aside: \"\"x\"\"\"");
}

TEST(HartctlPollBurstTest, PollAndBurstThroughATerminal)
{
    tools::PtyLine line(2);
    Outcome polled = Hartctl({"--tty", line.Path(), "poll", "-a", "1", "--every", "200ms", "--count", "2", "pv"});
    ASSERT_EQ(polled.status, 0) << polled.err;
    std::vector<std::string> lines = Lines(polled.out);
    ASSERT_EQ(lines.size(), 3u) << polled.out;
    EXPECT_NE(lines[2].find(",12.5,degC,"), std::string::npos) << lines[2];

    Outcome on = Hartctl({"--tty", line.Path(), "burst", "-t", "TT-100", "on", "--command", "2", "--period", "500ms"});
    ASSERT_EQ(on.status, 0) << on.err << on.out;
    Outcome shown = Hartctl({"--tty", line.Path(), "burst", "show", "--count", "1", "--duration", "5s"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("command 2: success"), std::string::npos) << shown.out;
    Outcome off = Hartctl({"--tty", line.Path(), "burst", "-a", "0", "off"});
    ASSERT_EQ(off.status, 0) << off.err << off.out;
    bool bursting = true;
    line.Call([&] { bursting = line.Device(0).Bursting(); });
    EXPECT_FALSE(bursting);
}

} // namespace
