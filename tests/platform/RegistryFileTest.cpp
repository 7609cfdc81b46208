/* Configuration from .reg files: what loads, and how a bad file is refused. */
#include <cstdio>
#include <fstream>
#include <string>

#include "PlatformFixture.h"

using ::testing::StartsWith;

namespace {

constexpr const char* kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";
constexpr const char* kParameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver\\Parameters";

class RegistryFileTest : public PlatformTest {
protected:
    platform::Registry& Registry() { return host.GetRegistry(); }
};

TEST_F(RegistryFileTest, RegeditStyleFileLoadsEveryKindOfValue)
{
    const char* text = R"(Windows Registry Editor Version 5.00

; The driver's timing, in link ticks.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\HartDriver]
"DebugLevel"=dword:00000081
"RT1PRIMARY" = dword:28   ; spaces and a trailing comment are fine
@="default"
"Path"="C:\\hart\\\"quoted\""
"Stale"=dword:1
"Stale"=-

[HKLM\system\currentcontrolset\services\HARTDRIVER\Parameters]
"Blob"=hex:01,ff,0a
"List"=hex(7):41,00,00,00,\
  42,00,00,00,00,00

[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]
"\\Device\\Serial0"="COM3"
)";
    platform::RegLoadResult result = Registry().LoadText(text, "hart.reg");
    ASSERT_TRUE(result) << result.message;

    EXPECT_EQ(Registry().GetDword(kService, "DebugLevel"), 0x81u);
    EXPECT_EQ(Registry().GetDword(kService, "rt1primary"), 0x28u);
    EXPECT_EQ(Registry().GetString(kService, ""), "default");
    EXPECT_EQ(Registry().GetString(kService, "Path"), "C:\\hart\\\"quoted\"");
    EXPECT_FALSE(Registry().GetValue(kService, "Stale"));
    /* The differently cased section is the same key, not a second one. */
    EXPECT_EQ(Registry().GetValue(kParameters, "Blob")->data, (std::vector<std::uint8_t>{0x01, 0xFF, 0x0A}));
    platform::RegValue list = *Registry().GetValue(kParameters, "List");
    EXPECT_EQ(list.type, ULONG{REG_MULTI_SZ});
    EXPECT_EQ(list.data.size(), 10u);
    EXPECT_EQ(Registry().GetString(platform::kSerialCommKey, "\\Device\\Serial0"), "COM3");

    /* And the driver sees it as it would on the real system. */
    WDFKEY key = nullptr;
    ASSERT_EQ(WdfRegistryOpenKey(nullptr, host.RegistryPath(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    ULONG value = 0;
    DECLARE_CONST_UNICODE_STRING(name, u"DebugLevel");
    EXPECT_EQ(WdfRegistryQueryValue(key, &name, sizeof(value), &value, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x81u);
    WdfRegistryClose(key);
}

struct Malformed {
    const char* text;
    std::size_t line;
    const char* what;
};

TEST_F(RegistryFileTest, MalformedFileNamesItsLineAndChangesNothing)
{
    const Malformed cases[] = {
        {"\"Orphan\"=dword:1\n", 1, "before the first [key] section"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:1\n[HKEY_CURRENT_USER\\B]\n", 3, "unknown root key"},
        {"[HKEY_LOCAL_MACHINE\\A\n", 1, "closing ']'"},
        {"[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 1, "empty key name"},
        {"[-HKEY_LOCAL_MACHINE\\A]\n", 1, "not supported"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\n\n\"X\"=dword:123456789\n", 4, "1 to 8 hexadecimal digits"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:\n", 2, "1 to 8 hexadecimal digits"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"tab\\t\"\n", 2, "unknown escape"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"open\n", 2, "no closing quote"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"a\" b\n", 2, "text after the closing quote"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=qword:1\n", 2, "unknown data"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\n", 2, "ends in ','"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,2g\n", 2, "one or two hexadecimal digits"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\\\n", 2, "the file ends"},
        {"[HKEY_LOCAL_MACHINE\\A]\n\"X\"\n", 2, "expected '='"},
        {"[HKEY_LOCAL_MACHINE\\A]\nWindows Registry Editor Version 5.00\n", 2, "first line"},
        {"[HKEY_LOCAL_MACHINE\\A]\nDebugLevel=1\n", 2, "expected a [key] section"},
    };
    for (const Malformed& bad : cases) {
        SCOPED_TRACE(bad.text);
        platform::RegLoadResult result = Registry().LoadText(bad.text, "bad.reg");
        EXPECT_FALSE(result);
        EXPECT_EQ(result.line, bad.line);
        EXPECT_THAT(result.message, StartsWith("bad.reg:" + std::to_string(bad.line) + ": "));
        EXPECT_THAT(result.message, HasSubstr(bad.what));
        EXPECT_FALSE(Registry().KeyExists("\\Registry\\Machine\\A"));
    }
}

TEST_F(RegistryFileTest, FilesAreReadInUtf8OrAsRegeditWritesThem)
{
    const std::string path = ::testing::TempDir() + "hart-registry-test.reg";
    /* regedit: UTF-16LE with a byte order mark and CRLF line ends. */
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n"
                                u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\HartDriver]\r\n"
                                u"\"GAP\"=dword:00000004\r\n"
                                u"\"Owner\"=\"J\u00fcrgen\"\r\n";
    {
        std::ofstream file(path, std::ios::binary);
        file.write("\xFF\xFE", 2);
        for (char16_t unit : text) {
            const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
            file.write(bytes, 2);
        }
    }
    platform::RegLoadResult result = Registry().LoadFile(path);
    std::remove(path.c_str());
    ASSERT_TRUE(result) << result.message;
    EXPECT_EQ(Registry().GetDword(kService, "GAP"), 4u);
    EXPECT_EQ(Registry().GetString(kService, "Owner"), "J\u00fcrgen");

    result = Registry().LoadFile(path);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.line, 0u);
    EXPECT_THAT(result.message, HasSubstr("cannot be read"));
}

TEST_F(RegistryFileTest, FileTooLargeIsRefusedBeforeItFillsMemory)
{
    /* A device that never ends, given by mistake, stops at the bound. */
    std::string contents = "left alone";
    platform::RegLoadResult endless = platform::Registry::ReadFile("/dev/zero", contents);
    EXPECT_FALSE(endless);
    EXPECT_THAT(endless.message, HasSubstr("/dev/zero: larger than 16 MiB"));
    EXPECT_TRUE(contents.empty());

    const std::string path = ::testing::TempDir() + "hart-registry-large.reg";
    {
        std::ofstream file(path, std::ios::binary);
        file << "[HKEY_LOCAL_MACHINE\\A]\n";
        file << std::string(platform::kMaxRegFileBytes, ';');
    }
    platform::RegLoadResult large = Registry().LoadFile(path);
    std::remove(path.c_str());
    EXPECT_FALSE(large);
    EXPECT_THAT(large.message, HasSubstr("too large"));
    EXPECT_FALSE(Registry().KeyExists("\\Registry\\Machine\\A"));
}

TEST_F(RegistryFileTest, KeyWithManyValuesKeepsOrderAndNamesThroughDeletes)
{
    constexpr int kValues = 20000;
    std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\HartDriver\\Parameters]\n";
    for (int i = 0; i < kValues; i++) {
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    }
    /* A replaced value keeps its place; deleted ones close the gap behind them. */
    text += "\"VALUE7\"=dword:9\n\"value3\"=-\n\"Value19999\"=-\n\"Value0\"=-\n\"Value3\"=dword:1\n";
    platform::RegLoadResult result = Registry().LoadText(text, "many.reg");
    ASSERT_TRUE(result) << result.message;

    const std::vector<std::string> names = Registry().ValueNames(kParameters);
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kValues - 2));
    EXPECT_EQ(names[0], "Value1");
    EXPECT_EQ(names[1], "Value2");
    EXPECT_EQ(names[2], "Value4");
    EXPECT_EQ(names[5], "Value7");
    EXPECT_EQ(names[kValues - 4], "Value19998");
    EXPECT_EQ(names.back(), "Value3");
    EXPECT_EQ(Registry().GetDword(kParameters, "value7"), 9u);
    EXPECT_EQ(Registry().GetDword(kParameters, "VALUE19998"), 8u);
    EXPECT_EQ(Registry().GetDword(kParameters, "Value3"), 1u);
    EXPECT_FALSE(Registry().GetValue(kParameters, "Value0"));

    /* The driver's enumeration by index and its lookup by name agree. */
    HANDLE key = nullptr;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HartDriver\\Parameters");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    alignas(8) std::uint8_t buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(basic->Name), basic->NameLength / 2), u"Value4");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"value19998");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data[0], 8u);
    ZwClose(key);
}

} // namespace
