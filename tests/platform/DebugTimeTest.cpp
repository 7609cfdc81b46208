#include <climits>
#include <cstdarg>

#include "PlatformFixture.h"

namespace {

class DebugTest : public PlatformTest {
protected:
    platform::DebugCapture output{host};
};

/* Formatting tests: every level of the components they print with is shown. */
class DebugFormatTest : public DebugTest {
protected:
    DebugFormatTest()
    {
        host.SetDebugFilter(DPFLTR_DEFAULT_ID, 0xFFFFFFFF);
        host.SetDebugFilter(DPFLTR_IHVDRIVER_ID, 0xFFFFFFFF);
    }
};

TEST_F(DebugTest, FilterShowsWhatTheKernelDebuggerWouldShow)
{
    DbgPrint("hidden: DbgPrint is the default component's info level\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_WARNING_LEVEL, "hidden warning\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "error\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0x1267, "mask with the error bit\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0x1266, "hidden mask without it\n");
    host.SetDebugFilter(DPFLTR_DEFAULT_ID, 1u << DPFLTR_INFO_LEVEL);
    DbgPrint("shown once enabled\n");
    EXPECT_THAT(output.Lines(), ElementsAre("error", "mask with the error bit", "shown once enabled"));
}

/* The shape of the driver's trace: a time stamp, then the message with a prefix. */
VOID TracePrint(BOOLEAN stamped, PCSTR format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (stamped) {
        LARGE_INTEGER now;
        TIME_FIELDS fields;
        KeQuerySystemTime(&now);
        RtlTimeToTimeFields(&now, &fields);
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0x1267, "HartDriver: [%d:%d:%d.%d]", fields.Hour, fields.Minute,
                   fields.Second, fields.Milliseconds);
        vDbgPrintExWithPrefix("-", DPFLTR_IHVDRIVER_ID, 0x1267, format, arguments);
    } else {
        vDbgPrintExWithPrefix("HartDriver: ", DPFLTR_IHVDRIVER_ID, 0x1267, format, arguments);
    }
    va_end(arguments);
}

TEST_F(DebugTest, PrefixedAndTimeStampedLinesComeOutWhole)
{
    TracePrint(FALSE, "%s >>>> \n", "HartEvtDeviceAdd");
    host.RunFor(3723456ms); /* 1 h 2 min 3.456 s after the virtual start */
    TracePrint(TRUE, "EVT_Q_TIMEOUT\n");
    TracePrint(FALSE, "unfinished");

    EXPECT_THAT(output.Lines(), ElementsAre("HartDriver: HartEvtDeviceAdd >>>> ",
                                            "HartDriver: [1:2:3.456]-EVT_Q_TIMEOUT", "HartDriver: unfinished"));
}

TEST_F(DebugFormatTest, WideStringsAndKernelSizePrefixes)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial0");
    const WCHAR* nothing = nullptr;
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 1, "%ws|%S|%wZ|%-6ws|%.3ws|%ws|%wc%C\n", u"COM3", u"Zürich \U0001F600",
               &name, u"ab", u"abcdef", nothing, u'x', u'é');
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 1, "0x%X 0x%2X %lu %I64d %d%% %5.1f %s %c\n", STATUS_CANCELLED, 5u,
               0xFFFFFFFFu, -(1LL << 40), 7, 2.25, "ok", 'z');
    DbgPrint("%p\n", reinterpret_cast<void*>(0x1234));

    EXPECT_THAT(output.Lines(), ElementsAre("COM3|Zürich 😀|\\Device\\Serial0|ab    |abc|(null)|xé",
                                            "0xC0000120 0x 5 4294967295 -1099511627776 7%   2.2 ok z",
                                            "0000000000001234"));
}

TEST_F(DebugFormatTest, DefaultSinkIsRestoredWhenTheCaptureEnds)
{
    {
        platform::DebugCapture inner(host);
        DbgPrint("inner\n");
        EXPECT_EQ(inner.Text(), "inner\n");
    }
    DbgPrint("outer\n");
    EXPECT_EQ(output.Text(), "outer\n");
}

TIME_FIELDS Fields(LONGLONG time)
{
    LARGE_INTEGER value;
    value.QuadPart = time;
    TIME_FIELDS fields;
    RtlTimeToTimeFields(&value, &fields);
    return fields;
}

constexpr LONGLONG kDay = 864000000000LL;
/* 2000-01-01 00:00:00 UTC, a Saturday. */
constexpr LONGLONG kYear2000 = 125911584000000000LL;

#define EXPECT_FIELDS(f, y, mo, d, h, mi, s, ms, wd)                                                  \
    EXPECT_EQ((std::vector<int>{f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Milliseconds,  \
                                f.Weekday}),                                                           \
              (std::vector<int>{y, mo, d, h, mi, s, ms, wd}))

TEST(TimeFields, KnownDatesIncludingLeapDays)
{
    TIME_FIELDS f = Fields(0);
    EXPECT_FIELDS(f, 1601, 1, 1, 0, 0, 0, 0, 1);
    f = Fields(kYear2000 + 59 * kDay + 45296789LL * 10000);
    EXPECT_FIELDS(f, 2000, 2, 29, 12, 34, 56, 789, 2);
    f = Fields(kYear2000 + 60 * kDay);
    EXPECT_FIELDS(f, 2000, 3, 1, 0, 0, 0, 0, 3);
    f = Fields(platform::kDefaultVirtualStartTime - 10000);
    EXPECT_FIELDS(f, 2024, 12, 31, 23, 59, 59, 999, 2);
    f = Fields(platform::kDefaultVirtualStartTime);
    EXPECT_FIELDS(f, 2025, 1, 1, 0, 0, 0, 0, 3);

    TIME_FIELDS leap{2024, 2, 29, 0, 0, 0, 0, 0};
    TIME_FIELDS notLeap1900{1900, 2, 29, 0, 0, 0, 0, 0};
    TIME_FIELDS notLeap2100{2100, 2, 29, 0, 0, 0, 0, 0};
    LARGE_INTEGER time;
    EXPECT_FALSE(RtlTimeFieldsToTime(&notLeap1900, &time));
    EXPECT_FALSE(RtlTimeFieldsToTime(&notLeap2100, &time));
    ASSERT_TRUE(RtlTimeFieldsToTime(&leap, &time));
    f = Fields(time.QuadPart + kDay);
    EXPECT_FIELDS(f, 2024, 3, 1, 0, 0, 0, 0, 5);
    f = Fields(LLONG_MAX); /* the far end stays a valid date */
    EXPECT_EQ(f.Year, 30828);
}

TEST_F(DebugTest, VirtualClockDrivesSystemTimeAndPerformanceCounter)
{
    LARGE_INTEGER systemTime;
    LARGE_INTEGER frequency;
    KeQuerySystemTime(&systemTime);
    EXPECT_EQ(systemTime.QuadPart, platform::kDefaultVirtualStartTime);
    host.RunFor(1500ms);
    KeQuerySystemTime(&systemTime);
    EXPECT_EQ(systemTime.QuadPart, platform::kDefaultVirtualStartTime + 15'000'000);
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 15'000'000);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
}

TEST(RtlStrings, CountedStringsStayWithinTheirBuffers)
{
    WCHAR buffer[6];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    DECLARE_CONST_UNICODE_STRING(com, u"COM");
    EXPECT_EQ(com.Length, 6);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&target, &com), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&target, u"12"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&target, u"345"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::u16string(target.Buffer, target.Length / 2), u"COM12");

    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, u"com12");
    EXPECT_TRUE(RtlEqualUnicodeString(&target, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&target, &upper, FALSE));

    WCHAR small[2];
    UNICODE_STRING copy{0, sizeof(small), small};
    RtlCopyUnicodeString(&copy, &target);
    EXPECT_EQ(copy.Length, 4);

    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
}

} // namespace
