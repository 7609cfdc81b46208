/*
 * .reg files as a user hands them to hartctl --reg: whatever the bytes, the
 * loader answers with a verdict and never throws. A refused file changes
 * nothing, a file that loaded loads again, and the same text in UTF-8 and
 * in regedit's UTF-16 gets the same verdict.
 */
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <platform/Registry.h>

#include "FuzzInput.h"

namespace {

constexpr std::string_view kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";

/* The text as UTF-16LE with regedit's byte order mark; nullopt when it is not valid UTF-8. */
std::optional<std::string> AsUtf16(std::string_view text)
{
    std::string out = "\xFF\xFE";
    auto unit = [&out](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; k++) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
        i += length;
    }
    return out;
}

platform::RegLoadResult Load(platform::Registry& registry, std::string_view text)
{
    try {
        return registry.LoadText(text, "fuzz.reg");
    } catch (const std::exception& e) {
        fuzz::Fail(std::string("loading a .reg file threw: ") + e.what());
    }
}

/* What a refused file must not have touched. */
std::string Snapshot(const platform::Registry& registry)
{
    std::string state;
    for (std::string_view key : {kService, platform::kSerialCommKey}) {
        for (const std::string& name : registry.ValueNames(key)) {
            const platform::RegValue value = *registry.GetValue(key, name);
            state += name + "=" + std::to_string(value.type) + ":" + std::string(value.data.begin(), value.data.end()) + ";";
        }
    }
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::Registry registry;
    registry.SetDword(kService, "DebugLevel", 1);
    registry.AddSerialPort("\\Device\\Serial0", "COM1");
    const std::string before = Snapshot(registry);

    const platform::RegLoadResult result = Load(registry, text);
    if (!result) {
        if (Snapshot(registry) != before) {
            fuzz::Fail("a refused file changed the registry: " + result.message);
        }
        if (result.message.rfind("fuzz.reg:", 0) != 0) {
            fuzz::Fail("an error that does not name the file: " + result.message);
        }
    } else if (!Load(registry, text)) {
        fuzz::Fail("a file that loaded once is refused the second time");
    }
    const bool wide = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    if (!wide) {
        std::string_view body = text;
        if (body.substr(0, 3) == "\xEF\xBB\xBF") {
            body.remove_prefix(3);
        }
        if (const std::optional<std::string> utf16 = AsUtf16(body)) {
            platform::Registry other;
            const platform::RegLoadResult again = Load(other, *utf16);
            if (again.ok != result.ok || again.line != result.line) {
                fuzz::Fail("UTF-8 and UTF-16 differ: '" + result.message + "' against '" + again.message + "'");
            }
        }
    }
    return 0;
}
