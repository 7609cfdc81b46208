#include <platform/Dispatcher.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

/* Counts the Run calls on the stack for Depth(). */
class DepthGuard {
public:
    explicit DepthGuard(unsigned& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    unsigned& depth_;
};

[[noreturn]] void ThrowErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

Dispatcher::Dispatcher(Clock clock)
    : clock_(clock), origin_(std::chrono::steady_clock::now()), loopThread_(std::this_thread::get_id())
{
    if (clock_ != Clock::Real) {
        return;
    }
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        ThrowErrno("epoll_create1");
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        int error = errno;
        close(epollFd_);
        errno = error;
        ThrowErrno("eventfd");
    }
    if (!EpollControl(EPOLL_CTL_ADD, wakeFd_, EPOLLIN)) {
        int error = errno;
        close(wakeFd_);
        close(epollFd_);
        errno = error;
        ThrowErrno("epoll_ctl");
    }
}

Dispatcher::~Dispatcher()
{
    Clear();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
    if (epollFd_ >= 0) {
        close(epollFd_);
    }
}

Ticks Dispatcher::Now() const
{
    if (clock_ == Clock::Virtual) {
        return virtualNow_;
    }
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now() - origin_);
}

void Dispatcher::Post(Task task)
{
    {
        std::lock_guard lock(inboxMutex_);
        inbox_.push_back(std::move(task));
        /* Under the lock: whoever finds the task in the inbox also finds the flag. */
        posted_.store(true);
    }
    inboxChanged_.notify_all();
    /* Only a loop blocked in epoll needs the write; one that is awake, or asleep
       to the end of a period, looks at the inbox before it blocks. */
    if (inEpoll_.load()) {
        Wake();
    }
}

void Dispatcher::HoldClock()
{
    std::lock_guard lock(inboxMutex_);
    ++clockHolders_;
}

void Dispatcher::ReleaseClock()
{
    {
        std::lock_guard lock(inboxMutex_);
        if (clockHolders_ > 0) {
            --clockHolders_;
        }
    }
    inboxChanged_.notify_all();
}

bool Dispatcher::AwaitClients()
{
    if (clock_ != Clock::Virtual) {
        return false;
    }
    std::unique_lock lock(inboxMutex_);
    if (clockHolders_ == 0 || !inbox_.empty()) {
        return !inbox_.empty();
    }
    inboxChanged_.wait(lock, [this] { return clockHolders_ == 0 || !inbox_.empty(); });
    return true;
}

void Dispatcher::EnterRun()
{
    if (depth_ == 1) {
        loopThread_.store(std::this_thread::get_id());
    }
}

SyncScope::~SyncScope()
{
    if (dispatcher_ != nullptr) {
        dispatcher_->Forget(this);
    }
}

void Dispatcher::Post(Task task, SyncScope* scope)
{
    if (scope != nullptr) {
        scope->dispatcher_ = this;
    }
    ready_.push_back(ScheduledTask{std::move(task), scope});
}

Dispatcher::TimerKey Dispatcher::Schedule(Ticks due, Task task, SyncScope* scope)
{
    if (scope != nullptr) {
        scope->dispatcher_ = this;
    }
    TimerKey key{due, nextSequence_++};
    timerNodes_.Insert(timers_, key, ScheduledTask{std::move(task), scope, key.sequence});
    return key;
}

bool Dispatcher::Cancel(const TimerKey& key)
{
    auto node = timers_.extract(key);
    if (node.empty()) {
        /* Due already, but not run yet: it waits among the ready tasks. */
        auto ready = std::find_if(ready_.begin(), ready_.end(), [&key](const ScheduledTask& task) {
            return task.sequence != 0 && task.sequence == key.sequence;
        });
        if (ready == ready_.end()) {
            return false;
        }
        ScheduledTask cancelled = std::move(*ready);
        ready_.erase(ready);
        return true;
    }
    /* Destroyed after the node is put away: what it captured may schedule again. */
    ScheduledTask cancelled = std::move(node.mapped());
    timerNodes_.Keep(std::move(node));
    return true;
}

void Dispatcher::TakeInbox()
{
    /* The loop takes the inbox before every task; most of the time nothing was
       posted, and the flag answers that without the lock. */
    if (!posted_.load()) {
        return;
    }
    /* Before taking: a post after this sets it again. */
    posted_.store(false);
    std::vector<Task> arrived;
    {
        std::lock_guard lock(inboxMutex_);
        arrived.swap(inbox_);
    }
    for (Task& task : arrived) {
        ready_.push_back(ScheduledTask{std::move(task), nullptr});
    }
}

void Dispatcher::TakeDueTimers()
{
    const Ticks now = Now();
    while (!timers_.empty() && timers_.begin()->first.due <= now) {
        auto node = timers_.extract(timers_.begin());
        ready_.push_back(std::move(node.mapped()));
        timerNodes_.Keep(std::move(node));
    }
}

bool Dispatcher::RunOne()
{
    TakeInbox();
    TakeDueTimers();
    while (!ready_.empty()) {
        ScheduledTask task = std::move(ready_.front());
        ready_.pop_front();
        if (task.scope != nullptr && task.scope->busy_) {
            task.scope->held_.push_back(std::move(task));
            continue;
        }
        RunTask(std::move(task));
        return true;
    }
    return false;
}

void Dispatcher::RunTask(ScheduledTask task)
{
    SyncScope* scope = task.scope;
    if (scope == nullptr) {
        task.run();
        return;
    }
    scope->busy_ = true;
    running_.push_back(scope);
    struct ScopeRelease {
        Dispatcher& dispatcher;
        std::size_t slot;
        ~ScopeRelease()
        {
            /* The task may have deleted its scope's owner: then there is nothing to release. */
            SyncScope* scope = dispatcher.running_[slot];
            dispatcher.running_.pop_back();
            if (scope != nullptr) {
                dispatcher.Release(scope);
            }
        }
    } release{*this, running_.size() - 1};
    task.run();
}

void Dispatcher::Forget(SyncScope* scope)
{
    for (ScheduledTask& task : ready_) {
        if (task.scope == scope) {
            task.scope = nullptr;
        }
    }
    for (auto& [key, task] : timers_) {
        if (task.scope == scope) {
            task.scope = nullptr;
        }
    }
    for (SyncScope*& running : running_) {
        if (running == scope) {
            running = nullptr;
        }
    }
    /* What waited for the scope still runs, first and in its order, as Release would have it. */
    for (auto held = scope->held_.rbegin(); held != scope->held_.rend(); ++held) {
        held->scope = nullptr;
        ready_.push_front(std::move(*held));
    }
    scope->held_.clear();
}

void Dispatcher::Release(SyncScope* scope)
{
    scope->busy_ = false;
    /* What waited for the scope goes first, in its original order. */
    for (auto held = scope->held_.rbegin(); held != scope->held_.rend(); ++held) {
        ready_.push_front(std::move(*held));
    }
    scope->held_.clear();
}

std::size_t Dispatcher::RunUntilIdle()
{
    DepthGuard guard(depth_);
    EnterRun();
    std::size_t ran = 0;
    for (;;) {
        while (RunOne()) {
            ++ran;
        }
        if (clock_ == Clock::Real) {
            Wait(Ticks{0});
            if (RunOne()) {
                ++ran;
                continue;
            }
        }
        return ran;
    }
}

std::size_t Dispatcher::RunUntil(Ticks deadline)
{
    DepthGuard guard(depth_);
    EnterRun();
    std::size_t ran = 0;
    for (;;) {
        while (RunOne()) {
            ++ran;
        }
        if (AwaitClients()) {
            continue;
        }
        if (clock_ == Clock::Virtual) {
            if (!timers_.empty() && timers_.begin()->first.due <= deadline) {
                virtualNow_ = std::max(virtualNow_, timers_.begin()->first.due);
                continue;
            }
            virtualNow_ = std::max(virtualNow_, deadline);
            while (RunOne()) {
                ++ran;
            }
            return ran;
        }
        const Ticks now = Now();
        if (now >= deadline) {
            Wait(Ticks{0});
            while (RunOne()) {
                ++ran;
            }
            return ran;
        }
        Ticks timeout = deadline - now;
        if (!timers_.empty()) {
            timeout = std::min(timeout, std::max(Ticks{0}, timers_.begin()->first.due - now));
        }
        Wait(timeout);
    }
}

std::size_t Dispatcher::RunFor(Ticks duration)
{
    return RunUntil(Now() + duration);
}

bool Dispatcher::RunUntil(const std::function<bool()>& done, Ticks limit)
{
    DepthGuard guard(depth_);
    EnterRun();
    const Ticks deadline = Now() > Ticks::max() - limit ? Ticks::max() : Now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        if (RunOne()) {
            continue;
        }
        if (AwaitClients()) {
            continue;
        }
        if (clock_ == Clock::Virtual) {
            {
                std::lock_guard lock(inboxMutex_);
                if (!inbox_.empty()) {
                    continue;
                }
            }
            if (timers_.empty() || timers_.begin()->first.due > deadline) {
                return false;
            }
            virtualNow_ = std::max(virtualNow_, timers_.begin()->first.due);
            continue;
        }
        const Ticks now = Now();
        if (now >= deadline) {
            return false;
        }
        Ticks timeout = deadline - now;
        if (!timers_.empty()) {
            timeout = std::min(timeout, std::max(Ticks{0}, timers_.begin()->first.due - now));
        }
        Wait(timeout);
    }
}

namespace {

/* Rounded up: waking early would only spin until the timer is due. */
int TimeoutMilliseconds(std::optional<Ticks> timeout)
{
    if (!timeout) {
        return -1;
    }
    auto rounded = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    return static_cast<int>(std::clamp<long long>(rounded, 0, 60'000));
}

} // namespace

void Dispatcher::Wait(std::optional<Ticks> timeout)
{
    if (clock_ != Clock::Real) {
        return;
    }
    const bool blocking = !timeout || *timeout > Ticks{0};
    const bool coalescing = blocking && wakePeriod_ > Ticks{0};
    std::optional<Ticks> epollTimeout = timeout;
    if (coalescing) {
        const Ticks now = Now();
        if (now < quietUntil_) {
            SleepUntil(timeout ? std::min(now + *timeout, quietUntil_) : quietUntil_);
            /* What came meanwhile goes ahead of the timers due now, so that the
               driver sees input and ticks in the order they happened. */
            epollTimeout = Ticks{0};
        }
    }
    epoll_event events[64];
    inEpoll_.store(true);
    const bool posted = posted_.load();
    const int count = epoll_wait(epollFd_, events, 64, posted ? 0 : TimeoutMilliseconds(epollTimeout));
    inEpoll_.store(false);
    /* Posts that came while it waited count as well; only the loop clears the flag. */
    const int found = TakeFdEvents(events, count) + (posted_.load() ? 1 : 0);
    if (!coalescing) {
        return;
    }
    const Ticks now = Now();
    if (found >= kBusyWake) {
        busyUntil_ = now + kBusyPeriods * wakePeriod_;
    }
    if (now < busyUntil_) {
        /* Busy: every wake-up, a timer's too, is the last one of its period. */
        quietUntil_ = NextMultiple(now, wakePeriod_);
    } else if (found > 0) {
        /* Light traffic (one port's characters, 9.2 ms apart at 1200 bit/s)
           is taken as it comes. */
        quietUntil_ = NextMultiple(now, std::max(wakePeriod_ / 2, Ticks{1}));
    }
}

Ticks Dispatcher::NextMultiple(Ticks now, Ticks period)
{
    return (now / period + 1) * period;
}

void Dispatcher::SleepUntil(Ticks instant)
{
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(origin_.time_since_epoch() + instant);
    timespec until{};
    until.tv_sec = static_cast<time_t>(since.count() / 1'000'000'000);
    until.tv_nsec = static_cast<long>(since.count() % 1'000'000'000);
    /* The steady clock is CLOCK_MONOTONIC. */
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int Dispatcher::TakeFdEvents(const epoll_event* events, int count)
{
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof(value));
            continue;
        }
        const FdWatch* watch = Watched(fd);
        if (watch == nullptr) {
            continue;
        }
        const std::uint64_t generation = watch->generation;
        const std::uint32_t reported = events[i].events;
        ready_.push_back(
            ScheduledTask{[this, fd, generation, reported] { RunFdCallback(fd, generation, reported); }, nullptr});
        ++taken;
    }
    return taken;
}

void Dispatcher::Wake()
{
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof(one));
    }
}

bool Dispatcher::EpollControl(int operation, int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epollFd_, operation, fd, &event) == 0;
}

void Dispatcher::RunFdCallback(int fd, std::uint64_t generation, std::uint32_t reported)
{
    const FdWatch* watch = Watched(fd);
    /* Unwatched or replaced since epoll reported it. */
    if (watch == nullptr || watch->generation != generation) {
        return;
    }
    /* The callback may unwatch its own descriptor. */
    std::shared_ptr<FdCallback> callback = watch->callback;
    (*callback)(reported);
}

Dispatcher::FdWatch* Dispatcher::Watched(int fd)
{
    if (fd < 0 || static_cast<std::size_t>(fd) >= fds_.size() || fds_[static_cast<std::size_t>(fd)].generation == 0) {
        return nullptr;
    }
    return &fds_[static_cast<std::size_t>(fd)];
}

bool Dispatcher::WatchFd(int fd, std::uint32_t events, FdCallback callback)
{
    if (clock_ != Clock::Real || fd < 0 || Watched(fd) != nullptr) {
        return false;
    }
    if (!EpollControl(EPOLL_CTL_ADD, fd, events)) {
        return false;
    }
    if (static_cast<std::size_t>(fd) >= fds_.size()) {
        fds_.resize(static_cast<std::size_t>(fd) + 1);
    }
    fds_[static_cast<std::size_t>(fd)] = FdWatch{nextWatch_++, std::make_shared<FdCallback>(std::move(callback))};
    return true;
}

bool Dispatcher::ModifyFd(int fd, std::uint32_t events)
{
    return Watched(fd) != nullptr && EpollControl(EPOLL_CTL_MOD, fd, events);
}

void Dispatcher::UnwatchFd(int fd)
{
    if (FdWatch* watch = Watched(fd)) {
        *watch = FdWatch{};
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    }
}

void Dispatcher::Clear()
{
    /* Destroying a task may destroy what it captured, which may post again. */
    while (!ready_.empty() || !timers_.empty()) {
        std::deque<ScheduledTask> ready;
        ready.swap(ready_);
        std::map<TimerKey, ScheduledTask> timers;
        timers.swap(timers_);
    }
    std::vector<Task> inbox;
    {
        std::lock_guard lock(inboxMutex_);
        inbox.swap(inbox_);
    }
}

} // namespace platform
