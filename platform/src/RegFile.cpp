/*
 * .reg files as regedit writes them, so a driver's configuration can be
 * kept in the form its developers already know:
 *
 *   Windows Registry Editor Version 5.00
 *
 *   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\HartDriver]
 *   "DebugLevel"=dword:00000001
 *   "Name"="text with \\ and \""
 *   "Blob"=hex:01,02,03
 *   "List"=hex(7):41,00,00,00,00,00
 *   @="default value"
 *   "Gone"=-
 *
 * The whole file is parsed before anything is applied, so a file with an
 * error changes nothing; the error names its line.
 */
#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>

#include "RegistryImpl.h"
#include "Unicode.h"

namespace platform {

namespace {

struct RegOperation {
    enum class Kind { CreateKey, SetValue, DeleteValue } kind;
    std::u16string path;
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct ParseError {
    std::size_t line;
    std::string what;
};

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/* What may follow a value or a section: nothing, or a comment. */
bool OnlyCommentLeft(std::string_view rest)
{
    rest = Trim(rest);
    return rest.empty() || rest.front() == ';';
}

class RegParser {
public:
    explicit RegParser(std::string_view text) : text_(text) {}

    /* Fills operations, or returns the first error. */
    std::optional<ParseError> Parse(std::vector<RegOperation>& operations)
    {
        bool sawContent = false;
        bool haveKey = false;
        std::u16string keyPath;
        std::string_view line;
        while (NextLine(line)) {
            const std::size_t number = lineNumber_;
            line = Trim(line);
            if (line.empty() || line.front() == ';') {
                continue;
            }
            if (!sawContent) {
                sawContent = true;
                if (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4") {
                    continue;
                }
            }
            if (line.front() == '[') {
                if (auto error = ParseSection(line, number, keyPath)) {
                    return error;
                }
                haveKey = true;
                operations.push_back(RegOperation{RegOperation::Kind::CreateKey, keyPath, {}, REG_NONE, {}});
                continue;
            }
            if (line.front() != '"' && line.front() != '@') {
                if (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4") {
                    return ParseError{number, "the header belongs on the first line"};
                }
                return ParseError{number, "expected a [key] section, a \"name\"=value line or a ; comment"};
            }
            if (!haveKey) {
                return ParseError{number, "a value before the first [key] section"};
            }
            /* Hex lists may go on over lines that end in a backslash. */
            std::string logical(line);
            while (!logical.empty() && logical.back() == '\\' && IsHexValue(logical)) {
                logical.pop_back();
                std::string_view next;
                if (!NextLine(next)) {
                    return ParseError{number, "the value's last line ends in '\\' but the file ends"};
                }
                logical += Trim(next);
            }
            RegOperation operation{RegOperation::Kind::SetValue, keyPath, {}, REG_NONE, {}};
            if (auto error = ParseValue(logical, number, operation)) {
                return error;
            }
            operations.push_back(std::move(operation));
        }
        return std::nullopt;
    }

private:
    bool NextLine(std::string_view& line)
    {
        /* A final newline ends the last line rather than starting an empty one. */
        if (position_ >= text_.size()) {
            return false;
        }
        std::size_t end = text_.find('\n', position_);
        if (end == std::string_view::npos) {
            end = text_.size();
        }
        line = text_.substr(position_, end - position_);
        position_ = end + 1;
        ++lineNumber_;
        return true;
    }

    static bool IsHexValue(std::string_view line)
    {
        /* Only a hex list continues; a string that ends in a backslash does not. */
        std::size_t equals = ValueDataStart(line);
        return equals != std::string_view::npos && StartsWithNoCase(Trim(line.substr(equals)), "hex");
    }

    /* Where the data starts (after '='), or npos when the name does not parse. */
    static std::size_t ValueDataStart(std::string_view line)
    {
        std::size_t i = 0;
        if (line.empty()) {
            return std::string_view::npos;
        }
        if (line[0] == '@') {
            i = 1;
        } else {
            for (i = 1; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\') {
                    ++i;
                }
            }
            if (i >= line.size()) {
                return std::string_view::npos;
            }
            ++i;
        }
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i >= line.size() || line[i] != '=') {
            return std::string_view::npos;
        }
        return i + 1;
    }

    static std::optional<ParseError> ParseSection(std::string_view line, std::size_t number, std::u16string& path)
    {
        std::size_t close = line.find(']');
        if (close == std::string_view::npos) {
            return ParseError{number, "a [key] section without its closing ']'"};
        }
        if (!OnlyCommentLeft(line.substr(close + 1))) {
            return ParseError{number, "text after the closing ']' of a section"};
        }
        std::string_view name = line.substr(1, close - 1);
        if (!name.empty() && name.front() == '-') {
            return ParseError{number, "deleting keys ([-...]) is not supported"};
        }
        static constexpr std::pair<std::string_view, std::string_view> kRoots[] = {
            {"HKEY_LOCAL_MACHINE", "\\Registry\\Machine"},
            {"HKLM", "\\Registry\\Machine"},
            {"HKEY_USERS", "\\Registry\\User"},
            {"HKU", "\\Registry\\User"},
        };
        std::string_view rootName = name.substr(0, name.find('\\'));
        std::string kernelPath;
        for (const auto& [hive, kernel] : kRoots) {
            if (EqualsNoCase(rootName, hive)) {
                kernelPath = std::string(kernel) + std::string(name.substr(rootName.size()));
            }
        }
        if (kernelPath.empty()) {
            return ParseError{number, "unknown root key '" + std::string(rootName) +
                                          "' (HKEY_LOCAL_MACHINE and HKEY_USERS exist here)"};
        }
        std::vector<std::u16string_view> names;
        if (!Utf8ToUtf16(kernelPath, path)) {
            return ParseError{number, "the key name is not valid UTF-8"};
        }
        if (!NT_SUCCESS(Registry::Impl::SplitPath(path, true, names))) {
            return ParseError{number, "empty key name in '" + std::string(name) + "' (doubled or trailing '\\')"};
        }
        return std::nullopt;
    }

    static std::optional<ParseError> ParseQuoted(std::string_view line, std::size_t& i, std::size_t number,
                                                 std::u16string& out, const char* what)
    {
        /* line[i] is the opening quote. */
        std::string text;
        for (++i; i < line.size(); ++i) {
            char c = line[i];
            if (c == '"') {
                ++i;
                if (!Utf8ToUtf16(text, out)) {
                    return ParseError{number, std::string(what) + " is not valid UTF-8"};
                }
                return std::nullopt;
            }
            if (c == '\\') {
                if (i + 1 >= line.size()) {
                    break;
                }
                char escaped = line[++i];
                if (escaped != '\\' && escaped != '"') {
                    return ParseError{number, std::string("unknown escape '\\") + escaped + "' in " + what +
                                                  " (only \\\\ and \\\" are known)"};
                }
                c = escaped;
            }
            text += c;
        }
        return ParseError{number, std::string(what) + " has no closing quote"};
    }

    static std::optional<ParseError> ParseValue(std::string_view line, std::size_t number, RegOperation& operation)
    {
        std::size_t i = 0;
        if (line[0] == '@') {
            i = 1;
        } else if (auto error = ParseQuoted(line, i, number, operation.name, "the value name")) {
            return error;
        }
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i >= line.size() || line[i] != '=') {
            return ParseError{number, "expected '=' after the value name"};
        }
        std::string_view data = Trim(line.substr(i + 1));
        if (data.empty()) {
            return ParseError{number, "the value has no data"};
        }
        if (data.front() == '-') {
            if (!OnlyCommentLeft(data.substr(1))) {
                return ParseError{number, "text after '-'"};
            }
            operation.kind = RegOperation::Kind::DeleteValue;
            return std::nullopt;
        }
        if (data.front() == '"') {
            std::size_t k = 0;
            std::u16string text;
            if (auto error = ParseQuoted(data, k, number, text, "the string")) {
                return error;
            }
            if (!OnlyCommentLeft(data.substr(k))) {
                return ParseError{number, "text after the closing quote of the string"};
            }
            operation.type = REG_SZ;
            operation.data = RegStringData(text);
            return std::nullopt;
        }
        if (StartsWithNoCase(data, "dword:")) {
            std::string_view digits = data.substr(6);
            std::size_t count = 0;
            std::uint32_t value = 0;
            while (count < digits.size() && HexDigit(digits[count]) >= 0) {
                value = (value << 4) | static_cast<std::uint32_t>(HexDigit(digits[count]));
                ++count;
            }
            if (count == 0 || count > 8 || !OnlyCommentLeft(digits.substr(count))) {
                return ParseError{number, "a dword needs 1 to 8 hexadecimal digits, as dword:0000001f"};
            }
            operation.type = REG_DWORD;
            operation.data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
            return std::nullopt;
        }
        if (StartsWithNoCase(data, "hex")) {
            return ParseHex(data.substr(3), number, operation);
        }
        return ParseError{number, "unknown data '" + std::string(data.substr(0, 16)) +
                                      "' (expected \"text\", dword:, hex: or hex(type):)"};
    }

    static std::optional<ParseError> ParseHex(std::string_view data, std::size_t number, RegOperation& operation)
    {
        operation.type = REG_BINARY;
        if (!data.empty() && data.front() == '(') {
            std::size_t close = data.find(')');
            ULONG type = 0;
            std::size_t digits = 0;
            for (std::size_t k = 1; k < close && close != std::string_view::npos; ++k, ++digits) {
                if (HexDigit(data[k]) < 0) {
                    digits = 9;
                    break;
                }
                type = (type << 4) | static_cast<ULONG>(HexDigit(data[k]));
            }
            if (close == std::string_view::npos || digits == 0 || digits > 8) {
                return ParseError{number, "hex(type) needs a hexadecimal type, as hex(7):"};
            }
            operation.type = type;
            data.remove_prefix(close + 1);
        }
        if (data.empty() || data.front() != ':') {
            return ParseError{number, "expected ':' after hex"};
        }
        data = Trim(data.substr(1));
        std::size_t comment = data.find(';');
        if (comment != std::string_view::npos) {
            data = Trim(data.substr(0, comment));
        }
        while (!data.empty()) {
            std::size_t comma = data.find(',');
            std::string_view token = Trim(data.substr(0, comma));
            if (token.empty() || token.size() > 2 || HexDigit(token[0]) < 0 ||
                (token.size() == 2 && HexDigit(token[1]) < 0)) {
                return ParseError{number, "a hex list holds bytes of one or two hexadecimal digits, as 01,ff"};
            }
            int value = HexDigit(token[0]);
            if (token.size() == 2) {
                value = value * 16 + HexDigit(token[1]);
            }
            operation.data.push_back(static_cast<std::uint8_t>(value));
            if (comma == std::string_view::npos) {
                break;
            }
            data.remove_prefix(comma + 1);
            if (Trim(data).empty()) {
                return ParseError{number, "a hex list ends in ','"};
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
};

/* regedit writes version 5 files in UTF-16LE with a byte order mark. */
bool DecodeFile(std::string_view raw, std::string& text)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
        std::u16string wide;
        for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
            wide += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                          (static_cast<unsigned char>(raw[i + 1]) << 8));
        }
        text = Utf16ToUtf8(wide);
        return raw.size() % 2 == 0;
    }
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") {
        raw.remove_prefix(3);
    }
    text = std::string(raw);
    return true;
}

} // namespace

RegLoadResult Registry::LoadText(std::string_view raw, std::string_view sourceName)
{
    std::string text;
    if (!DecodeFile(raw, text)) {
        return RegLoadResult{false, 0, std::string(sourceName) + ": odd number of bytes in a UTF-16 file"};
    }
    std::vector<RegOperation> operations;
    if (std::optional<ParseError> error = RegParser(text).Parse(operations)) {
        return RegLoadResult{false, error->line,
                             std::string(sourceName) + ":" + std::to_string(error->line) + ": " + error->what};
    }
    std::lock_guard lock(impl_->mutex);
    std::vector<std::u16string_view> names;
    for (RegOperation& operation : operations) {
        Impl::SplitPath(operation.path, true, names); /* checked while parsing */
        RegKey& key = impl_->Create(impl_->root, names);
        switch (operation.kind) {
        case RegOperation::Kind::CreateKey: break;
        case RegOperation::Kind::SetValue:
            impl_->SetValue(key, operation.name, operation.type, std::move(operation.data));
            break;
        case RegOperation::Kind::DeleteValue: impl_->DeleteValue(key, operation.name); break;
        }
    }
    return RegLoadResult{};
}

RegLoadResult Registry::ReadFile(const std::string& fileName, std::string& contents)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        return RegLoadResult{false, 0, fileName + ": cannot be read"};
    }
    contents.clear();
    /* Read in pieces, one byte past the bound at most: the size a device or a
       pipe reports says nothing about how much it will give. */
    char piece[64 * 1024];
    while (file) {
        const std::size_t room = kMaxRegFileBytes + 1 - contents.size();
        file.read(piece, static_cast<std::streamsize>(std::min(sizeof(piece), room)));
        contents.append(piece, static_cast<std::size_t>(file.gcount()));
        if (contents.size() > kMaxRegFileBytes) {
            contents.clear();
            return RegLoadResult{false, 0,
                                 fileName + ": larger than " + std::to_string(kMaxRegFileBytes / (1024 * 1024)) +
                                     " MiB, too large for a .reg file"};
        }
    }
    if (file.bad()) {
        contents.clear();
        return RegLoadResult{false, 0, fileName + ": cannot be read"};
    }
    return RegLoadResult{};
}

RegLoadResult Registry::LoadFile(const std::string& fileName)
{
    std::string contents;
    if (RegLoadResult read = ReadFile(fileName, contents); !read) {
        return read;
    }
    return LoadText(contents, fileName);
}

} // namespace platform
