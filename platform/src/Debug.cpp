#include <platform/Debug.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

#include <platform/Host.h>

#include "HostCore.h"
#include "Unicode.h"

namespace platform {

namespace {

/* Widths and precisions beyond this come from a broken format, not a need. */
constexpr int kLargestField = 4096;

enum class Length { Default, Char, Short, Long32, LongLong, Size, IntMax, PtrDiff, LongDouble, Wide };

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    Length length = Length::Default;
    char type = 0;

    /* The same conversion for the C library, with a C length modifier. */
    std::string ForC(const char* modifier, char type) const
    {
        /* Appended piece by piece: g++ 12 at -O3 warns falsely on string + string temporaries. */
        std::string pattern(1, '%');
        pattern += flags;
        if (width >= 0) {
            pattern += std::to_string(width);
        }
        if (precision >= 0) {
            pattern += '.';
            pattern += std::to_string(precision);
        }
        pattern += modifier;
        pattern += type;
        return pattern;
    }

    bool LeftJustified() const { return flags.find('-') != std::string::npos; }
};

template <typename T>
void AppendC(std::string& out, const std::string& pattern, T value)
{
    char small[128];
    int length = std::snprintf(small, sizeof(small), pattern.c_str(), value);
    if (length < 0) {
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof(small)) {
        out.append(small, static_cast<std::size_t>(length));
        return;
    }
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(large.data(), large.size(), pattern.c_str(), value);
    out.append(large.data(), static_cast<std::size_t>(length));
}

/* Pads already converted UTF-8 text to the field width, in characters. */
void AppendPadded(std::string& out, const Conversion& conversion, const std::string& text)
{
    std::size_t characters = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    std::size_t padding =
        conversion.width > 0 && static_cast<std::size_t>(conversion.width) > characters
            ? static_cast<std::size_t>(conversion.width) - characters
            : 0;
    if (!conversion.LeftJustified()) {
        out.append(padding, ' ');
    }
    out += text;
    if (conversion.LeftJustified()) {
        out.append(padding, ' ');
    }
}

void AppendWideString(std::string& out, const Conversion& conversion, const WCHAR* text, std::size_t units)
{
    if (text == nullptr) {
        AppendPadded(out, conversion, "(null)");
        return;
    }
    if (conversion.precision >= 0) {
        units = std::min(units, static_cast<std::size_t>(conversion.precision));
    }
    AppendPadded(out, conversion, Utf16ToUtf8(std::u16string_view(text, units)));
}

std::size_t WideLength(const WCHAR* text, int precision)
{
    std::size_t length = 0;
    /* With a precision the string need not be terminated. */
    while ((precision < 0 || length < static_cast<std::size_t>(precision)) && text[length] != 0) {
        ++length;
    }
    return length;
}

int ClampField(long value)
{
    return static_cast<int>(std::clamp<long>(value, 0, kLargestField));
}

void AppendSigned(std::string& out, const Conversion& c, va_list& arguments)
{
    switch (c.length) {
    case Length::Char: AppendC(out, c.ForC("hh", c.type), static_cast<signed char>(va_arg(arguments, int))); break;
    case Length::Short: AppendC(out, c.ForC("h", c.type), static_cast<short>(va_arg(arguments, int))); break;
    case Length::LongLong: AppendC(out, c.ForC("ll", c.type), va_arg(arguments, long long)); break;
    case Length::Size: AppendC(out, c.ForC("z", c.type), va_arg(arguments, ssize_t)); break;
    case Length::IntMax: AppendC(out, c.ForC("j", c.type), va_arg(arguments, intmax_t)); break;
    case Length::PtrDiff: AppendC(out, c.ForC("t", c.type), va_arg(arguments, ptrdiff_t)); break;
    default: AppendC(out, c.ForC("", c.type), va_arg(arguments, int)); break; /* LONG is 32 bits */
    }
}

void AppendUnsigned(std::string& out, const Conversion& c, va_list& arguments)
{
    switch (c.length) {
    case Length::Char:
        AppendC(out, c.ForC("hh", c.type), static_cast<unsigned char>(va_arg(arguments, unsigned)));
        break;
    case Length::Short:
        AppendC(out, c.ForC("h", c.type), static_cast<unsigned short>(va_arg(arguments, unsigned)));
        break;
    case Length::LongLong: AppendC(out, c.ForC("ll", c.type), va_arg(arguments, unsigned long long)); break;
    case Length::Size: AppendC(out, c.ForC("z", c.type), va_arg(arguments, size_t)); break;
    case Length::IntMax: AppendC(out, c.ForC("j", c.type), va_arg(arguments, uintmax_t)); break;
    case Length::PtrDiff: AppendC(out, c.ForC("t", c.type), va_arg(arguments, ptrdiff_t)); break;
    default: AppendC(out, c.ForC("", c.type), va_arg(arguments, unsigned)); break; /* ULONG is 32 bits */
    }
}

/* Parses the length prefix at p, the kernel's I64/I32/I as well as C's. */
Length ParseLength(const char*& p)
{
    if (std::strncmp(p, "I64", 3) == 0) {
        p += 3;
        return Length::LongLong;
    }
    if (std::strncmp(p, "I32", 3) == 0) {
        p += 3;
        return Length::Long32;
    }
    switch (*p) {
    case 'I': ++p; return Length::Size;
    case 'h':
        if (p[1] == 'h') {
            p += 2;
            return Length::Char;
        }
        ++p;
        return Length::Short;
    case 'l':
        if (p[1] == 'l') {
            p += 2;
            return Length::LongLong;
        }
        ++p;
        return Length::Long32;
    case 'L': ++p; return Length::LongDouble;
    case 'j': ++p; return Length::IntMax;
    case 'z': ++p; return Length::Size;
    case 't': ++p; return Length::PtrDiff;
    case 'w': ++p; return Length::Wide;
    default: return Length::Default;
    }
}

} // namespace

std::string FormatDebugString(const char* format, va_list argumentList)
{
    std::string out;
    if (format == nullptr) {
        return out;
    }
    va_list arguments;
    va_copy(arguments, argumentList);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            std::size_t run = next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
            out.append(p, run);
            p += run;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        Conversion c;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            c.flags += *p++;
        }
        if (*p == '*') {
            int width = va_arg(arguments, int);
            if (width < 0) {
                c.flags += '-';
                width = width == INT_MIN ? INT_MAX : -width;
            }
            c.width = ClampField(width);
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            c.width = ClampField(std::strtol(p, const_cast<char**>(&p), 10));
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int precision = va_arg(arguments, int);
                c.precision = precision < 0 ? -1 : ClampField(precision);
                ++p;
            } else {
                c.precision = (*p >= '0' && *p <= '9') ? ClampField(std::strtol(p, const_cast<char**>(&p), 10)) : 0;
            }
        }
        c.length = ParseLength(p);
        c.type = *p;
        if (c.type == '\0') {
            out.append(start);
            break;
        }
        ++p;
        const bool wide = c.length == Length::Wide || c.length == Length::Long32;
        switch (c.type) {
        case 'd':
        case 'i':
            AppendSigned(out, c, arguments);
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            AppendUnsigned(out, c, arguments);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (c.length == Length::LongDouble) {
                AppendC(out, c.ForC("L", c.type), va_arg(arguments, long double));
            } else {
                AppendC(out, c.ForC("", c.type), va_arg(arguments, double));
            }
            break;
        case 's':
        case 'S':
            if (c.type == 'S' || wide) {
                const WCHAR* text = va_arg(arguments, const WCHAR*);
                AppendWideString(out, c, text, text != nullptr ? WideLength(text, c.precision) : 0);
            } else {
                const char* text = va_arg(arguments, const char*);
                AppendC(out, c.ForC("", 's'), text != nullptr ? text : "(null)");
            }
            break;
        case 'c':
        case 'C':
            if (c.type == 'C' || wide) {
                char16_t unit = static_cast<char16_t>(va_arg(arguments, int));
                AppendPadded(out, c, Utf16ToUtf8(std::u16string_view(&unit, 1)));
            } else {
                AppendC(out, c.ForC("", 'c'), va_arg(arguments, int));
            }
            break;
        case 'Z':
            if (c.length == Length::Wide) {
                auto* string = va_arg(arguments, PCUNICODE_STRING);
                if (string == nullptr || string->Buffer == nullptr) {
                    AppendWideString(out, c, nullptr, 0);
                } else {
                    AppendWideString(out, c, string->Buffer, string->Length / sizeof(WCHAR));
                }
            } else {
                /* Counted ANSI strings are not part of this kernel. */
                (void)va_arg(arguments, void*);
                out.append(start, p);
            }
            break;
        case 'p':
            /* As the kernel prints pointers: all digits, upper case, no 0x. */
            AppendC(out, "%016" PRIXPTR, reinterpret_cast<std::uintptr_t>(va_arg(arguments, void*)));
            break;
        case 'n':
            /* Writing through a pointer from a format is not supported. */
            (void)va_arg(arguments, void*);
            break;
        default:
            out.append(start, p);
            break;
        }
    }
    va_end(arguments);
    return out;
}

DebugCapture::DebugCapture(Host& host) : host_(host)
{
    previous_ = host_.SetDebugSink([this](ULONG, ULONG, std::string_view text) {
        std::lock_guard lock(mutex_);
        text_.append(text);
    });
}

DebugCapture::~DebugCapture()
{
    host_.SetDebugSink(std::move(previous_));
}

std::string DebugCapture::Text() const
{
    std::lock_guard lock(mutex_);
    return text_;
}

std::vector<std::string> DebugCapture::Lines() const
{
    std::string text = Text();
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

void DebugCapture::Clear()
{
    std::lock_guard lock(mutex_);
    text_.clear();
}

} // namespace platform

using namespace platform;

ULONG vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    HostCore* filter = CurrentCoreOrNull();
    if (filter != nullptr && !filter->DebugEnabled(ComponentId, Level)) {
        return STATUS_SUCCESS;
    }
    std::string text = Prefix != nullptr ? Prefix : "";
    text += FormatDebugString(Format, arglist);
    if (HostCore* core = CurrentCoreOrNull()) {
        core->WriteDebug(ComponentId, Level, text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
    return STATUS_SUCCESS;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    return vDbgPrintExWithPrefix("", ComponentId, Level, Format, arglist);
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG status = vDbgPrintExWithPrefix("", ComponentId, Level, Format, arguments);
    va_end(arguments);
    return status;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG status = vDbgPrintExWithPrefix("", DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, arguments);
    va_end(arguments);
    return status;
}
