/*
 * A client that keeps one port device busy, as a host application polling
 * its devices does: one write and one read outstanding through the I/O
 * manager's asynchronous calls, each write a request to the next target in
 * turn. It checks what it gets: every request completes exactly once, and
 * a confirmed write was answered by the device it asked.
 */
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include <platform/Host.h>
#include <platform/IoManager.h>

#include "sim/HartFrame.h"

namespace sim {

class Poller {
public:
    struct Target {
        std::uint8_t pollingAddress = 0;
        std::uint8_t command = 1;
    };

    Poller(std::string name, platform::File port, bool primary, std::vector<Target> targets);

    /* Issues what is missing; handles what has completed. */
    void Step();
    bool WriteDone() const { return write_.Valid() && write_.Done(); }
    bool ReadDone() const { return read_.Valid() && read_.Done(); }
    void Stop() { stopped_ = true; }
    bool Idle() const { return !write_.Valid(); }
    /* Drops the outstanding read (closing the port) and checks it ended once. */
    void Close();

    const std::string& Name() const { return name_; }
    std::size_t Writes() const { return writes_; }
    std::size_t Succeeded() const { return succeeded_; }
    std::size_t TimedOut() const { return timedOut_; }
    std::size_t OtherFailures() const { return otherFailures_; }
    std::size_t CrcErrors() const { return crcErrors_; }
    /* Completions of writes and reads that were not exactly one. */
    std::size_t BadCompletions() const { return badCompletions_; }
    /* Successful writes whose answer did not match the request. */
    std::size_t Mismatches() const { return mismatches_; }
    /* Status of each write per target polling address, in order. */
    const std::map<std::uint8_t, std::vector<NTSTATUS>>& History() const { return history_; }
    /* Next writes go only to this target. */
    void SetTargets(std::vector<Target> targets) { targets_ = std::move(targets); next_ = 0; }

private:
    void TakeRead();

    std::string name_;
    platform::File port_;
    bool primary_;
    std::vector<Target> targets_;
    std::size_t next_ = 0;
    Target current_{};
    platform::PendingIo write_;
    platform::PendingIo read_;
    std::vector<platform::IoResult> answers_;
    bool stopped_ = false;
    std::size_t writes_ = 0;
    std::size_t succeeded_ = 0;
    std::size_t timedOut_ = 0;
    std::size_t otherFailures_ = 0;
    std::size_t crcErrors_ = 0;
    std::size_t badCompletions_ = 0;
    std::size_t mismatches_ = 0;
    std::map<std::uint8_t, std::vector<NTSTATUS>> history_;
};

/* All targets: the first `devices` polling addresses, each with each command. */
std::vector<Poller::Target> Targets(int devices, std::initializer_list<std::uint8_t> commands);
/* Runs the host, stepping every poller as its reads and writes complete
   (so a read is always waiting for the next frame), until the virtual clock
   has moved on by duration. */
void RunPollers(platform::Host& host, const std::vector<Poller*>& pollers, platform::Ticks duration);

} // namespace sim
