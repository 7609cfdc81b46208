/*
 * A HART field device on the simulated line: it hears STX frames addressed
 * to it (its polling address with either master's bit, or its long address)
 * and answers them with ACK frames after its turnaround. It knows the
 * universal commands a host uses to identify and read a device and answers
 * every other command with response code 64 (command not implemented).
 */
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sim/HartFrame.h"
#include "sim/HartLine.h"

namespace sim {

/* Response codes and device status bits the device reports. */
inline constexpr std::uint8_t kResponseSuccess = 0;
inline constexpr std::uint8_t kResponseCommandNotImplemented = 64;
inline constexpr std::uint8_t kStatusConfigurationChanged = 0x40;
inline constexpr std::uint8_t kStatusMoreStatusAvailable = 0x10;

struct FieldDeviceConfig {
    std::uint8_t pollingAddress = 0;
    std::uint8_t manufacturerId = 0x26;
    std::uint8_t deviceType = 0x06;
    std::uint32_t deviceId = 0x123456;
    std::uint8_t deviceStatus = 0;
    float primaryValue = 12.5f;
    std::uint8_t primaryUnits = 32; /* degrees Celsius */
    std::string tag = "TT-101";
    /* Preambles before each answer, and the pause between request and answer. */
    int preambles = 5;
    Ticks turnaround = 2 * kHartCharacterTime;
    /* Faults a test can switch on: no answers at all, answers with a wrong check byte. */
    bool silent = false;
    bool corruptCheckByte = false;
};

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

private:
    void Hear(const LineCharacter& character);
    bool AddressedToMe(const HartFrame& request) const;
    /* Response code, device status and data for a command. */
    Bytes Answer(std::uint8_t command, const Bytes& requestData);
    void Respond(const HartFrame& request);

    HartLine& line_;
    FieldDeviceConfig config_;
    StationId id_;
    FrameParser parser_;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextAnswer_ = 0;
    std::size_t requestsHeard_ = 0;
    std::size_t answersSent_ = 0;
};

} // namespace sim
