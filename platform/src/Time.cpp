/*
 * System time and the performance counter. On the virtual clock both are
 * read off the dispatcher, so a run prints the same time stamps every time.
 */
#include <chrono>

#include "HostCore.h"

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10'000;
constexpr LONGLONG kTicksPerSecond = 10'000'000;
constexpr LONGLONG kTicksPerDay = kTicksPerSecond * 86'400;
/* Days from 1601-01-01 (system time zero) to 1970-01-01. */
constexpr LONGLONG kDaysTo1970 = 134'774;
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

LONGLONG FloorDivide(LONGLONG value, LONGLONG divisor)
{
    LONGLONG quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

/* Proleptic Gregorian calendar, days counted from 1970-01-01. */
void CivilFromDays(LONGLONG days, LONGLONG& year, unsigned& month, unsigned& day)
{
    days += 719'468;
    const LONGLONG era = FloorDivide(days, 146'097);
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<LONGLONG>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

LONGLONG DaysFromCivil(LONGLONG year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const LONGLONG era = FloorDivide(year, 400);
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + static_cast<LONGLONG>(dayOfEra) - 719'468;
}

bool IsLeapYear(LONGLONG year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(LONGLONG year, unsigned month)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

} // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (platform::HostCore* core = platform::CurrentCoreOrNull()) {
        CurrentTime->QuadPart = core->SystemTime();
        return;
    }
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    CurrentTime->QuadPart = kUnixEpochAsSystemTime + std::chrono::duration_cast<platform::Ticks>(sinceEpoch).count();
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    const LONGLONG time = Time->QuadPart;
    const LONGLONG days = FloorDivide(time, kTicksPerDay);
    const LONGLONG inDay = time - days * kTicksPerDay;
    LONGLONG year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - kDaysTo1970, year, month, day);
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month);
    TimeFields->Day = static_cast<CSHORT>(day);
    TimeFields->Hour = static_cast<CSHORT>(inDay / (kTicksPerSecond * 3'600));
    TimeFields->Minute = static_cast<CSHORT>(inDay / (kTicksPerSecond * 60) % 60);
    TimeFields->Second = static_cast<CSHORT>(inDay / kTicksPerSecond % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(inDay / kTicksPerMillisecond % 1'000);
    /* 1601-01-01 was a Monday. */
    TimeFields->Weekday = static_cast<CSHORT>((days % 7 + 7 + 1) % 7);
}

BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time)
{
    const TIME_FIELDS& f = *TimeFields;
    if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 ||
        static_cast<unsigned>(f.Day) > DaysInMonth(f.Year, static_cast<unsigned>(f.Month)) || f.Hour < 0 ||
        f.Hour > 23 || f.Minute < 0 || f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 ||
        f.Milliseconds > 999) {
        return FALSE;
    }
    const LONGLONG days =
        DaysFromCivil(f.Year, static_cast<unsigned>(f.Month), static_cast<unsigned>(f.Day)) + kDaysTo1970;
    Time->QuadPart = days * kTicksPerDay + f.Hour * (kTicksPerSecond * 3'600) + f.Minute * (kTicksPerSecond * 60) +
                     f.Second * kTicksPerSecond + f.Milliseconds * kTicksPerMillisecond;
    return TRUE;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = kTicksPerSecond;
    }
    LARGE_INTEGER counter;
    if (platform::HostCore* core = platform::CurrentCoreOrNull()) {
        counter.QuadPart = core->dispatcher.Now().count();
    } else {
        counter.QuadPart = std::chrono::duration_cast<platform::Ticks>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    }
    return counter;
}
