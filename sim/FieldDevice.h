/*
 * A HART field device on the simulated line, as a host meets it: it hears
 * STX frames addressed to it (its polling address with either master's bit,
 * its long address, or the broadcast address for the identify-by-tag
 * commands) and answers them with ACK frames after its turnaround. It knows
 * the universal commands, the common ones a host uses to configure and test
 * a temperature transmitter (damping, range, units, fixed current, locking,
 * simulation) and those for burst mode; anything else gets response code 64
 * (command not implemented).
 *
 * Status bits that concern one master (configuration changed, more status
 * available) are kept per master, so that each master sees a change until
 * it has acknowledged it itself.
 *
 * In burst mode the device publishes its burst command in BACK frames on its
 * own. After each of its frames it leaves the line quiet for a pause in
 * which a master may talk; a request heard then is answered (with the burst
 * bit set) before the next burst frame. The master bit of successive burst
 * frames alternates, and the frame after an answer carries the bit of the
 * master just served, so the other master gets the next turn.
 *
 * A command can be made slow, as a device that is busy with something else
 * or needs seconds for a job: it answers "busy" a number of times, or takes
 * the request as a delayed response that the master must ask for again
 * until it is done. All of it runs on the line's clock.
 */
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/HartFrame.h"
#include "sim/HartLine.h"

namespace sim {

/* Response codes and device status bits the device reports; codes 8 to 15
   mean something of their own for each command that uses them. */
inline constexpr std::uint8_t kResponseSuccess = 0;
inline constexpr std::uint8_t kResponseInvalidSelection = 2;
inline constexpr std::uint8_t kResponseTooLarge = 3;
inline constexpr std::uint8_t kResponseTooSmall = 4;
inline constexpr std::uint8_t kResponseTooFewDataBytes = 5;
inline constexpr std::uint8_t kResponseWriteProtected = 7;
inline constexpr std::uint8_t kResponseCounterMismatch = 9; /* command 38 */
inline constexpr std::uint8_t kResponseAccessRestricted = 16;
inline constexpr std::uint8_t kResponseInvalidVariable = 17;
inline constexpr std::uint8_t kResponseInvalidUnits = 18;
inline constexpr std::uint8_t kResponseBusy = 32;
inline constexpr std::uint8_t kResponseDelayedInitiated = 33;
inline constexpr std::uint8_t kResponseDelayedRunning = 34;
inline constexpr std::uint8_t kResponseDelayedDead = 35;
inline constexpr std::uint8_t kResponseDelayedConflict = 36;
inline constexpr std::uint8_t kResponseCommandNotImplemented = 64;
inline constexpr std::uint8_t kExpandedCommand = 31;
inline constexpr std::uint8_t kStatusDeviceMalfunction = 0x80;
inline constexpr std::uint8_t kStatusConfigurationChanged = 0x40;
inline constexpr std::uint8_t kStatusMoreStatusAvailable = 0x10;
inline constexpr std::uint8_t kStatusLoopCurrentFixed = 0x08;
/* Command 48: extended device status, standardized status 0, analog channel fixed. */
inline constexpr std::uint8_t kExtendedFunctionCheck = 0x20;
inline constexpr std::uint8_t kStandardizedSimulationActive = 0x01;
inline constexpr std::uint8_t kStandardizedConfigurationLocked = 0x80;
inline constexpr std::uint8_t kAnalogChannelPrimary = 0x01;

/* Units codes the device uses. */
inline constexpr std::uint8_t kUnitsDegreesCelsius = 32;
inline constexpr std::uint8_t kUnitsDegreesFahrenheit = 33;
inline constexpr std::uint8_t kUnitsDegreesRankine = 34;
inline constexpr std::uint8_t kUnitsKelvin = 35;
inline constexpr std::uint8_t kUnitsMilliamperes = 39;
inline constexpr std::uint8_t kUnitsPercent = 57;
inline constexpr std::uint8_t kUnitsNotUsed = 250;
/* A burst slot that carries no device variable. */
inline constexpr std::uint8_t kVariableNotUsed = 250;

struct DeviceVariable {
    std::uint8_t units = kUnitsDegreesCelsius;
    float value = 0.0f;
    /* Device variable classification (64: temperature). */
    std::uint8_t classification = 64;
};

/*
 * How a slow command answers. First it refuses busyAnswers requests with
 * "busy" (32); the one after that is carried out, and the next one is
 * refused again, as a device that is often busy does. With delayedResponse
 * the request that gets through is answered "delayed response initiated"
 * (33) instead, and the same request from the same master gets "running"
 * (34) until delay has passed since then and it has heard "running"
 * runningAnswers times; the one after is carried out and answered, or, if
 * the device dies, answered "dead" (35). While a delayed response is
 * pending, the command from the other master or with other data gets
 * "conflict" (36). Command 106 drops every pending delayed response.
 */
struct SlowCommand {
    int busyAnswers = 0;
    bool delayedResponse = false;
    Ticks delay{0};
    int runningAnswers = 0;
    bool dies = false;
};

struct FieldDeviceConfig {
    std::uint8_t pollingAddress = 0;
    std::uint8_t manufacturerId = 0x26;
    std::uint8_t deviceType = 0x06;
    std::uint32_t deviceId = 0x123456;
    /* 5: command 0 in its 12-byte form, and any command in a short frame;
       6 adds the long tag (20, 21, 22) and answers only command 0 in a short
       frame; 7: command 0 in its 22-byte form, command 31 for the commands
       above 255 and the burst configuration commands 103 to 107. */
    std::uint8_t universalRevision = 7;
    /* Bits always reported (device malfunction, PV out of limits, ...),
       besides the per-master bits the device keeps itself. */
    std::uint8_t deviceStatus = 0;
    float primaryValue = 12.5f;
    std::uint8_t primaryUnits = kUnitsDegreesCelsius;
    /* Secondary, tertiary and quaternary variables. */
    std::array<DeviceVariable, 3> otherVariables{
        DeviceVariable{kUnitsDegreesCelsius, 21.0f, 64}, DeviceVariable{kUnitsDegreesCelsius, 0.0f, 64},
        DeviceVariable{kUnitsDegreesCelsius, 0.0f, 64}};
    /* The range that maps the primary value onto 4 to 20 mA. */
    float lowerRange = 0.0f;
    float upperRange = 100.0f;
    /* What the sensor can measure and the least span a range may have, in the
       primary variable's units; and the primary variable's damping in seconds. */
    float lowerSensorLimit = -200.0f;
    float upperSensorLimit = 500.0f;
    float minimumSpan = 10.0f;
    float damping = 1.0f;
    std::string tag = "TT-101";
    std::string longTag = "SIMULATED TEMPERATURE TRANSMITTER";
    std::string descriptor = "SIMULATED";
    std::string message = "HART LINE SIMULATOR";
    std::array<std::uint8_t, 3> date{1, 1, 126};
    std::uint32_t finalAssemblyNumber = 0x000101;
    bool writeProtected = false;
    /* Preambles before each answer, and the pause between request and answer. */
    int preambles = 5;
    Ticks turnaround = 2 * kHartCharacterTime;
    /* Burst mode from the start, the command it publishes, the least time
       between the starts of two burst frames, and the quiet time it leaves
       after each of its frames for a master. */
    bool burstMode = false;
    std::uint8_t burstCommand = 1;
    Ticks burstPeriod{0};
    Ticks burstPause = Ticks{750'000}; /* 75 ms: a master's whole hold window and its first character */
    /* Faults a test can switch on: no answers at all, answers with a wrong check byte,
       each answer sent this many times more right behind itself, an answer changed
       before it goes out (another address or command, as a fault on the way makes it). */
    bool silent = false;
    bool corruptCheckByte = false;
    int answerRepeats = 0;
    std::function<void(HartFrame& answer)> alterAnswer{};
    /* Device-specific commands above 255 (reached through command 31) and the
       data the device answers them with. */
    std::map<std::uint16_t, Bytes> expandedCommands{};
    /* Commands, by number (above 255 too), that do not answer at once. */
    std::map<std::uint16_t, SlowCommand> slowCommands{};
};

/*
 * The devices the tools put on a simulated line: device N at polling address
 * N with tag "TT-10N". Each also answers one device-specific command above
 * 255 (1024, its operating hours as a 32-bit count), so that the road
 * through command 31 can be tried end to end.
 */
FieldDeviceConfig DemoDeviceConfig(int index, std::uint8_t universalRevision);

class FieldDevice {
public:
    /* Must not outlive the line. */
    FieldDevice(HartLine& line, FieldDeviceConfig config);
    ~FieldDevice();
    FieldDevice(const FieldDevice&) = delete;
    FieldDevice& operator=(const FieldDevice&) = delete;

    FieldDeviceConfig& Config() { return config_; }
    StationId Id() const { return id_; }
    /* The 5-byte long address without master and burst bits. */
    Bytes LongAddress() const;
    std::size_t RequestsHeard() const { return requestsHeard_; }
    std::size_t AnswersSent() const { return answersSent_; }
    /* Answers to the primary (true) or the secondary master. */
    std::size_t AnswersTo(bool primary) const { return answersTo_[primary ? 1 : 0]; }
    std::size_t BurstFramesSent() const { return burstFramesSent_; }

    /* Burst mode on or off, as command 109 does it. */
    void SetBurstMode(bool on);
    bool Bursting() const { return bursting_; }
    /* New additional status (command 48): both masters see "more status available". */
    void SetAdditionalStatus(const std::array<std::uint8_t, 6>& status);
    /* A configuration change made at the device (or by a write command). */
    void MarkConfigurationChanged();
    std::uint16_t ConfigurationChangeCounter() const { return configChangeCounter_; }
    /* The status byte the device would send to the primary (true) or the secondary master. */
    std::uint8_t DeviceStatusFor(bool primary) const;
    /* The loop current in mA: the range's share of the primary variable, 4 mA in
       multidrop, or the current a master fixed (command 40). */
    float LoopCurrent() const;
    /* Whether the device shows where it is, as command 72 asks. */
    bool Squawking() const { return squawk_ != 0; }

private:
    /* A device variable's value as it would be measured, or as a master simulates it (command 79). */
    struct Simulation {
        float value = 0.0f;
        std::uint8_t status = 0;
    };
    /* A delayed response that a master has started and not yet collected. */
    struct DelayedResponse {
        int master = 0;
        Bytes request;
        Ticks ready{};
        int runningLeft = 0;
    };

    void Hear(const LineCharacter& character);
    bool AddressedToMe(const HartFrame& request) const;
    /* Response code, device status and data; nothing when the device must not answer. */
    std::optional<Bytes> Answer(const HartFrame& request);
    /* Write protection or a lock that keeps this master from the command: its response code, or 0. */
    std::uint8_t Refusal(std::uint16_t command, int master) const;
    /* The response code of a slow command that is not carried out this time. */
    std::optional<std::uint8_t> SlowAnswer(std::uint16_t command, const Bytes& requestData, int master);
    Bytes CommandData(std::uint8_t command, const Bytes& requestData, int master, std::uint8_t& responseCode);
    Bytes IdentityData() const;
    void Respond(const HartFrame& request);
    void Send(Bytes bytes, bool burstFrame);
    void ScheduleBurst(Ticks at);
    void SendBurst();
    /* The request data a burst frame's command is answered for (the burst variables of 9 and 33). */
    Bytes BurstRequestData() const;
    void Later(Ticks at, std::function<void()> task, std::uint64_t* keyOut = nullptr);
    void CancelScheduled(std::uint64_t key);
    /* Delivers one write command's effect and marks the configuration changed. */
    void Changed();

    /* The commands, in FieldDeviceCommands.cpp. */
    std::optional<DeviceVariable> Variable(std::uint8_t code) const;
    /* The status byte of a device variable in command 9: good, or what a simulation gives it. */
    std::uint8_t VariableStatus(std::uint8_t code) const;
    float PercentOfRange() const;
    std::uint8_t ExtendedStatus() const;
    /* Command 48's bytes 0 to 13, whatever the revision answers of them. */
    std::array<std::uint8_t, 14> AdditionalStatus() const;
    /* Both masters see "more status available" when command 48 would answer something new. */
    void NoteAdditionalStatus();
    Bytes WritePollingAddress(const Bytes& request, std::uint8_t& responseCode);
    Bytes DeviceVariables(const Bytes& request, std::uint8_t& responseCode) const;
    Bytes WriteTagDescriptorDate(const Bytes& request, std::uint8_t& responseCode);
    Bytes ResetConfigurationChanged(const Bytes& request, int master, std::uint8_t& responseCode);
    Bytes AdditionalStatusData(const Bytes& request, int master, std::uint8_t& responseCode);
    Bytes ReadVariables(const Bytes& request, std::uint8_t& responseCode) const;
    Bytes WriteDamping(const Bytes& request, std::uint8_t& responseCode);
    Bytes WriteRange(const Bytes& request, std::uint8_t& responseCode);
    Bytes FixLoopCurrent(const Bytes& request, std::uint8_t& responseCode);
    Bytes WriteUnits(const Bytes& request, std::uint8_t& responseCode);
    Bytes VariableInformation(const Bytes& request, std::uint8_t& responseCode) const;
    Bytes WritePreambles(const Bytes& request, std::uint8_t& responseCode);
    Bytes Lock(const Bytes& request, int master, std::uint8_t& responseCode);
    Bytes Squawk(const Bytes& request, std::uint8_t& responseCode);
    Bytes LockState() const;
    Bytes WriteDeviceVariable(const Bytes& request, std::uint8_t& responseCode);
    Bytes WriteBurstPeriod(const Bytes& request, std::uint8_t& responseCode);
    Bytes WriteBurstTrigger(const Bytes& request, std::uint8_t& responseCode);
    Bytes BurstConfiguration(const Bytes& request, std::uint8_t& responseCode) const;
    Bytes WriteBurstVariables(const Bytes& request, std::uint8_t& responseCode);
    Bytes WriteBurstCommand(const Bytes& request, std::uint8_t& responseCode);
    Bytes BurstControl(const Bytes& request, std::uint8_t& responseCode);

    HartLine& line_;
    FieldDeviceConfig config_;
    StationId id_;
    FrameParser parser_;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextScheduled_ = 1;
    std::size_t requestsHeard_ = 0;
    std::size_t answersSent_ = 0;
    std::array<std::size_t, 2> answersTo_{};
    std::size_t burstFramesSent_ = 0;

    /* Per master: index 1 primary, 0 secondary. */
    std::array<bool, 2> configChanged_{};
    std::array<bool, 2> moreStatus_{};
    std::uint16_t configChangeCounter_ = 0;
    std::array<std::uint8_t, 6> additionalStatus_{};
    std::array<std::uint8_t, 14> reportedStatus_{};
    std::uint8_t loopCurrentMode_ = 1;
    std::optional<float> fixedCurrent_;
    std::array<std::optional<Simulation>, 4> simulated_{};
    /* Command 71's code (0 unlocked) and the master that locked the device. */
    std::uint8_t lockCode_ = 0;
    int lockedBy_ = 0;
    std::uint8_t squawk_ = 0;

    std::array<std::uint8_t, 8> burstVariables_{0, 1, 2, 3, 250, 250, 250, 250};
    Ticks burstMaxPeriod_{0};
    /* Command 104's mode, device variable classification, units and level. */
    std::uint8_t burstTriggerMode_ = 0;
    std::uint8_t burstTriggerClassification_ = 0;
    std::uint8_t burstTriggerUnits_ = kUnitsNotUsed;
    float burstTriggerLevel_ = 0.0f;

    /* Slow commands: busy answers given in a row, and delayed responses pending, by command. */
    std::map<std::uint16_t, int> busyGiven_;
    std::map<std::uint16_t, DelayedResponse> delayed_;

    bool bursting_ = false;
    bool answering_ = false; /* an answer is due or on the line */
    bool sending_ = false;
    std::uint8_t nextBurstMasterBit_ = kMasterBit;
    std::uint64_t burstKey_ = 0;
    Ticks lastBurstStart_{-1};
};

} // namespace sim
