#include <array>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include <platform/Host.h>
#include <platform/NodeReuse.h>
#include <platform/Task.h>

using namespace std::chrono_literals;

namespace {

/* Counts the runs and, through the shared pointer, the copies still alive. */
template <std::size_t Padding>
struct Probe {
    std::shared_ptr<int> runs;
    std::array<char, Padding> padding{};
    void operator()() const { ++*runs; }
};

template <typename Callable>
void ExpectRunsOnceEachCallAndReleasesOnce(std::shared_ptr<int> runs)
{
    {
        platform::Task task{Callable{runs}};
        EXPECT_EQ(runs.use_count(), 2);
        platform::Task moved = std::move(task);
        EXPECT_FALSE(task);
        EXPECT_EQ(runs.use_count(), 2) << "a move must not copy the capture";
        moved();
        moved();
        EXPECT_EQ(*runs, 2);
        platform::Task other{[] {}};
        other = std::move(moved);
        other();
        EXPECT_EQ(*runs, 3);
    }
    EXPECT_EQ(runs.use_count(), 1) << "the capture must be destroyed exactly once";
}

TEST(Task, SmallCapturesStayInsideAndLargeOnesWorkFromTheHeap)
{
    static_assert(platform::Task::kFitsInside<Probe<8>>);
    static_assert(!platform::Task::kFitsInside<Probe<128>>);
    ExpectRunsOnceEachCallAndReleasesOnce<Probe<8>>(std::make_shared<int>(0));
    ExpectRunsOnceEachCallAndReleasesOnce<Probe<128>>(std::make_shared<int>(0));
}

TEST(Task, AnEmptyFunctionMakesAnEmptyTaskThatRefusesToRun)
{
    platform::Task fromEmpty{std::function<void()>{}};
    EXPECT_FALSE(fromEmpty);
    EXPECT_THROW(fromEmpty(), std::bad_function_call);
    int runs = 0;
    platform::Task fromFunction{std::function<void()>{[&runs] { ++runs; }}};
    ASSERT_TRUE(fromFunction);
    fromFunction();
    EXPECT_EQ(runs, 1);
    fromFunction = nullptr;
    EXPECT_FALSE(fromFunction);
}

TEST(NodeReuse, AnErasedEntrysNodeCarriesTheNextEntry)
{
    std::map<int, int> entries{{1, 10}};
    platform::NodeReuse<std::map<int, int>, 1> spare;
    const int* first = &entries.at(1);
    spare.Keep(entries.extract(1));
    spare.Keep(decltype(entries)::node_type{});
    EXPECT_EQ(spare.Kept(), 1u) << "an empty handle is not kept";
    auto node = spare.Take();
    ASSERT_FALSE(node.empty());
    node.key() = 2;
    node.mapped() = 20;
    entries.insert(std::move(node));
    EXPECT_EQ(&entries.at(2), first);
    EXPECT_TRUE(spare.Take().empty());
    entries.emplace(3, 30);
    spare.Keep(entries.extract(2));
    spare.Keep(entries.extract(3));
    EXPECT_EQ(spare.Kept(), 1u) << "no more than the limit is kept";
}

TEST(NodeReuse, ACancelledTimersCaptureIsReleasedAtOnceAndItsNodeServesTheNext)
{
    platform::Host host;
    platform::Dispatcher& loop = host.GetDispatcher();
    auto capture = std::make_shared<int>(0);
    auto key = loop.Schedule(5ms, [capture] { ++*capture; });
    EXPECT_TRUE(loop.Cancel(key));
    EXPECT_EQ(capture.use_count(), 1);
    int ran = 0;
    loop.Schedule(5ms, [&ran] { ++ran; });
    host.RunFor(10ms);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(*capture, 0);
}

} // namespace
