/*
 * Another master on the simulated line, scripted rather than a driver: it
 * polls a list of requests round and round. Polite, it keeps the timing a
 * HART master keeps: it talks when the other master's transaction (or a
 * burst frame for the other master) has handed it the bus, after a pause
 * once its own transaction is answered, after the other master's request
 * went unanswered, or when the line has been quiet for long. Rude, it sends
 * at a fixed period whatever is on the line, to show what a master that
 * breaks the timing does to the others.
 */
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/HartFrame.h"
#include "sim/HartLine.h"

namespace sim {

struct ScriptedMasterConfig {
    enum class Timing { Polite, Rude };

    bool primary = false;
    Timing timing = Timing::Polite;
    /* Requests without the master bit (it is set from `primary`). */
    std::vector<HartFrame> requests;
    int preambles = 5;
    /* Delay before using a turn the other master handed over. */
    Ticks turnDelay{0};
    /* Quiet after its own answered transaction before it talks again. */
    Ticks afterOwnAnswer{800'000};
    /* How long an answer may take to begin. */
    Ticks answerWait{3'400'000};
    /* Quiet after a request that got no answer, over answerWait for the other master's. */
    Ticks afterNoAnswer{800'000};
    /* Quiet that makes the line free without anybody handing it over. */
    Ticks quietTime{3'700'000};
    /* Rude: one request every period. */
    Ticks period{2'000'000};
};

class ScriptedMaster {
public:
    /* Must not outlive the line; starts polling at once. */
    ScriptedMaster(HartLine& line, ScriptedMasterConfig config);
    ~ScriptedMaster();
    ScriptedMaster(const ScriptedMaster&) = delete;
    ScriptedMaster& operator=(const ScriptedMaster&) = delete;

    /* Polls no more after the transaction under way. */
    void Stop();
    StationId Id() const { return id_; }
    std::size_t RequestsSent() const { return requestsSent_; }
    /* Good answers with this master's bit to the request it sent. */
    std::size_t AnswersReceived() const { return answersReceived_; }
    std::size_t NoAnswers() const { return noAnswers_; }

private:
    void Hear(const LineCharacter& character);
    void OnFrame(const HartFrame& frame);
    void SendAt(Ticks at);
    void SendNow();
    void AnswerTimedOut();
    void Cancel(std::uint64_t& key);
    std::uint64_t At(Ticks at, std::function<void()> task);
    std::uint8_t MasterBit() const { return config_.primary ? kMasterBit : 0; }

    HartLine& line_;
    ScriptedMasterConfig config_;
    StationId id_;
    FrameParser parser_;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextScheduled_ = 1;
    std::uint64_t sendKey_ = 0;
    std::uint64_t answerKey_ = 0;
    bool running_ = true;
    bool sending_ = false;
    bool awaiting_ = false;
    bool answerBegun_ = false;
    std::size_t nextRequest_ = 0;
    HartFrame outstanding_;
    std::size_t requestsSent_ = 0;
    std::size_t answersReceived_ = 0;
    std::size_t noAnswers_ = 0;
};

} // namespace sim
