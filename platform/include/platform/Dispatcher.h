/*
 * The host's event loop. Every driver callback runs here, one at a time, on
 * the thread that runs the loop. Blocking framework calls made from a
 * callback run the loop nested (RunUntil with a condition), so the loop is
 * re-entrant; SyncScope keeps callbacks that must not overlap apart even then.
 */
#pragma once

#include <chrono>
#include <atomic>
#include <compare>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <platform/NodeReuse.h>
#include <platform/Task.h>

struct epoll_event;

namespace platform {

/* The kernel's unit of time, 100 ns. */
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

enum class Clock {
    Virtual, /* time jumps to the next due event when nothing can run */
    Real,    /* monotonic time; waits in epoll */
};

class SyncScope;
class Dispatcher;

struct ScheduledTask {
    Task run;
    SyncScope* scope = nullptr;
    /* The timer's sequence number while it may still be cancelled; 0 for a post. */
    std::uint64_t sequence = 0;
};

/*
 * Callbacks that share a scope never overlap: one that comes up while the
 * scope is busy (its owner is blocked in a nested run) is held back and runs,
 * in order, as soon as the scope is free again. A scope may go (its owner
 * deleted) while tasks for it are still queued, held or running: they then
 * run without it, and none of them touches it again. Whether their owner is
 * still there is for the tasks themselves to check.
 */
class SyncScope {
public:
    SyncScope() = default;
    ~SyncScope();
    SyncScope(const SyncScope&) = delete;
    SyncScope& operator=(const SyncScope&) = delete;

    bool Busy() const { return busy_; }

private:
    friend class Dispatcher;
    bool busy_ = false;
    std::deque<ScheduledTask> held_;
    /* The dispatcher that has queued tasks for this scope, if any has. */
    Dispatcher* dispatcher_ = nullptr;
};

class Dispatcher {
public:
    using Task = platform::Task;
    using FdCallback = std::function<void(std::uint32_t events)>;

    struct TimerKey {
        Ticks due{};
        std::uint64_t sequence = 0;
        auto operator<=>(const TimerKey&) const = default;
    };

    explicit Dispatcher(Clock clock);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    Clock GetClock() const { return clock_; }
    /* Time since the dispatcher started. */
    Ticks Now() const;

    /* Safe from any thread; the task runs on the loop's thread. */
    void Post(Task task);
    /* Loop thread only. */
    void Post(Task task, SyncScope* scope);

    /* Runs task once the clock reaches due (loop thread only). Tasks due at
       the same instant run in the order they were scheduled. */
    TimerKey Schedule(Ticks due, Task task, SyncScope* scope = nullptr);
    /* False when the task already ran or was cancelled. */
    bool Cancel(const TimerKey& key);

    /* Runs everything that can run now; on the virtual clock time stands still. */
    std::size_t RunUntilIdle();
    /* Runs everything due up to deadline; the virtual clock steps from one due
       event to the next and ends on deadline. */
    std::size_t RunUntil(Ticks deadline);
    std::size_t RunFor(Ticks duration);
    /* Nested wait: runs until done() holds. Returns false, without waiting,
       when nothing is left that could ever make it hold (a deadlock), or when
       the virtual clock would pass limit. */
    bool RunUntil(const std::function<bool()>& done, Ticks limit);

    /* How many Run calls are on the stack. */
    unsigned Depth() const { return depth_; }
    /* The thread that runs the loop: the one that built the dispatcher, or
       the one that last entered a Run call from outside. */
    bool OnLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

    /* Client threads that hold the virtual clock while they run (any thread).
       The virtual clock moves on only while nobody holds it; until then the
       loop waits for their requests instead. */
    void HoldClock();
    void ReleaseClock();

    /* Real clock: after a wake-up for descriptors or posts, descriptors and
       posts do not wake the loop again before the next multiple of half the
       period on its clock. Once a wake-up finds kBusyWake or more of them
       ready, the loop is busy for kBusyPeriods periods: then every wake-up,
       a timer's too, keeps them waiting to the next multiple of the whole
       period. Timers still wake the loop when they are due, and what has
       come by then is taken ahead of them. Input and requests from many
       ports and clients are then taken in one wake-up per period instead of
       one each, as a device's interrupts are moderated. Zero, the default,
       takes everything as it comes. */
    void SetWakeCoalescing(Ticks period) { wakePeriod_ = period; }
    static constexpr int kBusyWake = 4;
    static constexpr int kBusyPeriods = 10;

    /* Real clock only: callback runs on the loop when epoll reports the fd. */
    bool WatchFd(int fd, std::uint32_t events, FdCallback callback);
    bool ModifyFd(int fd, std::uint32_t events);
    void UnwatchFd(int fd);

    /* Drops every pending task and timer without running it (host teardown). */
    void Clear();

private:
    friend class SyncScope;
    struct FdWatch {
        /* Which watch of the descriptor this is; zero when it is not watched. */
        std::uint64_t generation = 0;
        std::shared_ptr<FdCallback> callback;
    };

    bool RunOne();
    /* Virtual clock: waits while client threads hold the clock and nothing
       has arrived. True when it waited (something may have changed). */
    bool AwaitClients();
    void EnterRun();
    void TakeInbox();
    void TakeDueTimers();
    void RunTask(ScheduledTask task);
    void Release(SyncScope* scope);
    /* The scope is going: what is queued, held or running for it goes on without it. */
    void Forget(SyncScope* scope);
    /* Real clock: waits in epoll for at most timeout (or for ever when empty). */
    void Wait(std::optional<Ticks> timeout);
    /* Real clock: sleeps until the dispatcher's clock reads instant, deaf to descriptors and posts. */
    void SleepUntil(Ticks instant);
    static Ticks NextMultiple(Ticks now, Ticks period);
    /* Queues the watched descriptors' callbacks; returns how many there are. */
    int TakeFdEvents(const epoll_event* events, int count);
    void RunFdCallback(int fd, std::uint64_t generation, std::uint32_t reported);
    FdWatch* Watched(int fd);
    bool EpollControl(int operation, int fd, std::uint32_t events);
    void Wake();

    Clock clock_;
    Ticks virtualNow_{0};
    std::chrono::steady_clock::time_point origin_;
    std::deque<ScheduledTask> ready_;
    /* The scopes of the tasks running now, innermost last; null once forgotten. */
    std::vector<SyncScope*> running_;
    std::map<TimerKey, ScheduledTask> timers_;
    /* Periodic timers re-arm on every tick; their nodes go round. */
    NodeReuse<std::map<TimerKey, ScheduledTask>> timerNodes_;
    std::uint64_t nextSequence_ = 1;
    unsigned depth_ = 0;

    std::mutex inboxMutex_;
    std::condition_variable inboxChanged_;
    std::vector<Task> inbox_;
    unsigned clockHolders_ = 0;
    std::atomic<std::thread::id> loopThread_;

    int epollFd_ = -1;
    int wakeFd_ = -1;
    /* Sequentially consistent pair: a post either sees the loop in epoll and
       writes wakeFd_, or the loop sees the post before it blocks. */
    std::atomic<bool> inEpoll_{false};
    std::atomic<bool> posted_{false};
    /* By descriptor: the kernel hands out the lowest free numbers, so this stays small. */
    std::vector<FdWatch> fds_;
    std::uint64_t nextWatch_ = 1;
    Ticks wakePeriod_{0};
    /* Blocking waits before this instant look at neither descriptors nor posts. */
    Ticks quietUntil_{0};
    /* Until this instant the loop counts as busy (see SetWakeCoalescing). */
    Ticks busyUntil_{0};
};

} // namespace platform
