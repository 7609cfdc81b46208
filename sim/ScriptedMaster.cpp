#include "sim/ScriptedMaster.h"

#include <algorithm>

namespace sim {

ScriptedMaster::ScriptedMaster(HartLine& line, ScriptedMasterConfig config)
    : line_(line), config_(std::move(config)), parser_(3 * line.CharacterDuration())
{
    id_ = line_.Attach(config_.primary ? "scripted primary master" : "scripted secondary master",
                       [this](const LineCharacter& character) { Hear(character); });
    /* A master that comes onto a line first listens for a whole quiet time. */
    SendAt(line_.Now() + (config_.timing == ScriptedMasterConfig::Timing::Rude ? config_.period : config_.quietTime));
}

ScriptedMaster::~ScriptedMaster()
{
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    line_.Detach(id_);
}

void ScriptedMaster::Stop()
{
    running_ = false;
    Cancel(sendKey_);
}

std::uint64_t ScriptedMaster::At(Ticks at, std::function<void()> task)
{
    const std::uint64_t serial = nextScheduled_++;
    scheduled_[serial] = line_.GetDispatcher().Schedule(std::max(at, line_.Now()), [this, serial, task = std::move(task)] {
        scheduled_.erase(serial);
        task();
    });
    return serial;
}

void ScriptedMaster::Cancel(std::uint64_t& key)
{
    auto it = scheduled_.find(key);
    if (it != scheduled_.end()) {
        line_.GetDispatcher().Cancel(it->second);
        scheduled_.erase(it);
    }
    key = 0;
}

void ScriptedMaster::SendAt(Ticks at)
{
    Cancel(sendKey_);
    if (!running_ || config_.requests.empty()) {
        return;
    }
    sendKey_ = At(at, [this] {
        sendKey_ = 0;
        SendNow();
    });
}

void ScriptedMaster::SendNow()
{
    const bool rude = config_.timing == ScriptedMasterConfig::Timing::Rude;
    if (rude) {
        SendAt(line_.Now() + config_.period);
    } else if (sending_ || awaiting_ || line_.CarrierDetect(id_)) {
        return; /* what is on the line will hand out the next turn */
    }
    outstanding_ = config_.requests[nextRequest_];
    nextRequest_ = (nextRequest_ + 1) % config_.requests.size();
    outstanding_.address[0] = static_cast<std::uint8_t>((outstanding_.address[0] & 0x7F) | MasterBit());
    ++requestsSent_;
    sending_ = true;
    awaiting_ = false;
    Cancel(answerKey_);
    line_.Transmit(id_, OnLine(outstanding_, config_.preambles), [this](std::size_t) {
        sending_ = false;
        awaiting_ = true;
        answerBegun_ = false;
        parser_.Reset();
        answerKey_ = At(line_.Now() + config_.answerWait, [this] {
            answerKey_ = 0;
            AnswerTimedOut();
        });
    });
}

void ScriptedMaster::AnswerTimedOut()
{
    awaiting_ = false;
    ++noAnswers_;
    if (config_.timing == ScriptedMasterConfig::Timing::Polite) {
        SendAt(line_.Now() + config_.afterNoAnswer);
    }
}

void ScriptedMaster::Hear(const LineCharacter& character)
{
    const bool polite = config_.timing == ScriptedMasterConfig::Timing::Polite;
    if (awaiting_) {
        /* An answer under way may pause no longer than a frame's gap. */
        answerBegun_ = true;
        Cancel(answerKey_);
        answerKey_ = At(character.end + 3 * line_.CharacterDuration() + Ticks{1}, [this] {
            answerKey_ = 0;
            AnswerTimedOut();
        });
    } else if (polite) {
        /* Traffic that hands out no turn: the line is free once it has been quiet long. */
        SendAt(character.end + config_.quietTime);
    }
    auto frame = parser_.Take(character.byte, character.end, character.status == CharacterStatus::Garbled);
    if (frame) {
        OnFrame(*frame);
    }
}

void ScriptedMaster::OnFrame(const HartFrame& frame)
{
    const bool mine = (frame.address.empty() ? 0 : (frame.address[0] & kMasterBit)) == MasterBit();
    const bool polite = config_.timing == ScriptedMasterConfig::Timing::Polite;
    if (awaiting_ && frame.FrameType() == kDelimiterAck && frame.checkByteOk && mine &&
        frame.command == outstanding_.command) {
        awaiting_ = false;
        Cancel(answerKey_);
        ++answersReceived_;
        if (polite) {
            SendAt(line_.Now() + config_.afterOwnAnswer);
        }
        return;
    }
    if (!polite || awaiting_ || !frame.checkByteOk) {
        return;
    }
    if (frame.FrameType() == kDelimiterStx && !mine) {
        /* The other master's request: its answer will hand over the bus,
           or, if none comes, the answer wait does. */
        SendAt(line_.Now() + config_.answerWait + config_.afterNoAnswer);
    } else if ((frame.FrameType() == kDelimiterAck && !mine && !frame.BurstBit()) ||
               (frame.FrameType() == kDelimiterBack && !mine)) {
        SendAt(line_.Now() + config_.turnDelay);
    }
}

} // namespace sim
