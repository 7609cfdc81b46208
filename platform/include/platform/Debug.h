/*
 * Where the driver's debug output goes. DbgPrint and friends format the
 * message and hand it, in one piece, to the current host's sink.
 */
#pragma once

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <ntddk.h>

namespace platform {

class Host;

using DebugSink = std::function<void(ULONG componentId, ULONG level, std::string_view text)>;

/* printf with the kernel's extra conversions (%ws, %S, %wc, %C, %wZ, I64 ...). */
std::string FormatDebugString(const char* format, va_list arguments);

/* Collects everything the driver prints while it lives. */
class DebugCapture {
public:
    explicit DebugCapture(Host& host);
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::string Text() const;
    /* The text cut at each '\n'; an unfinished last line is included. */
    std::vector<std::string> Lines() const;
    void Clear();

private:
    Host& host_;
    DebugSink previous_;
    mutable std::mutex mutex_;
    std::string text_;
};

} // namespace platform
