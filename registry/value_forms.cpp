#include "registry/value_forms.h"

#include <array>
#include <cwctype>

#include "base/utf16.h"
#include "registry/registry.h"

namespace keyscour {

namespace {

constexpr std::array<std::wstring_view, 12> kTypeNames{
    L"REG_NONE",          L"REG_SZ",       L"REG_EXPAND_SZ",       L"REG_BINARY",
    L"REG_DWORD",         L"REG_DWORD_BIG_ENDIAN", L"REG_LINK",    L"REG_MULTI_SZ",
    L"REG_RESOURCE_LIST", L"REG_FULL_RESOURCE_DESCRIPTOR", L"REG_RESOURCE_REQUIREMENTS_LIST", L"REG_QWORD"};

bool IsText(std::uint32_t type) { return type == value_type::kString || type == value_type::kExpandString; }

}  // namespace

std::wstring TypeName(std::uint32_t type) {
    if (type < kTypeNames.size()) return std::wstring(kTypeNames[type]);
    wchar_t name[24];
    std::swprintf(name, 24, L"REG_0x%x", type);
    return name;
}

std::optional<std::uint32_t> ParseTypeName(std::wstring_view name) {
    std::wstring upper(name);
    for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    for (std::uint32_t type = 0; type < kTypeNames.size(); ++type)
        if (kTypeNames[type] == upper) return type;
    if (upper.starts_with(L"REG_0X") && upper.size() > 6 && upper.size() <= 14) {
        std::uint32_t type = 0;
        for (wchar_t c : upper.substr(6)) {
            if (!std::iswxdigit(static_cast<wint_t>(c))) return std::nullopt;
            type = type * 16 + static_cast<std::uint32_t>(c <= L'9' ? c - L'0' : c - L'A' + 10);
        }
        return type;
    }
    return std::nullopt;
}

std::wstring StringOf(std::span<const std::uint8_t> data) {
    const std::wstring text = DecodeUtf16Le(data.data(), data.size());
    return text.substr(0, text.find(L'\0'));
}

std::vector<std::wstring> StringsOf(std::span<const std::uint8_t> data) {
    const std::wstring text = DecodeUtf16Le(data.data(), data.size());
    std::vector<std::wstring> strings;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find(L'\0', start);
        if (end == start) break;  // the empty string that ends the list
        strings.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return strings;
}

std::optional<std::uint64_t> NumberOf(std::uint32_t type, std::span<const std::uint8_t> data) {
    const std::size_t size = type == value_type::kDword ? 4 : type == value_type::kQword ? 8 : 0;
    if (size == 0 || data.size() != size) return std::nullopt;
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < size; ++i) number |= std::uint64_t{data[i]} << (8 * i);
    return number;
}

std::wstring HexOf(std::span<const std::uint8_t> data) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    hex.reserve(data.size() * 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) hex += L' ';
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 0xF];
    }
    return hex;
}

void ComparedTexts(std::uint32_t type, std::span<const std::uint8_t> data, std::vector<std::wstring>& texts) {
    texts.clear();
    if (IsText(type)) {
        texts.push_back(StringOf(data));
    } else if (type == value_type::kMultiString) {
        texts = StringsOf(data);
    } else if (const auto number = NumberOf(type, data)) {
        wchar_t hex[24];
        std::swprintf(hex, 24, L"0x%llx", static_cast<unsigned long long>(*number));
        texts.push_back(std::to_wstring(*number));
        texts.push_back(hex);
    } else {
        texts.push_back(HexOf(data));
    }
}

std::wstring DataText(std::uint32_t type, std::span<const std::uint8_t> data) {
    if (IsText(type)) return StringOf(data);
    if (type == value_type::kMultiString) {
        std::wstring joined;
        for (const auto& text : StringsOf(data)) joined.append(joined.empty() ? L"" : L"\n").append(text);
        return joined;
    }
    if (const auto number = NumberOf(type, data)) return std::to_wstring(*number);
    return HexOf(data);
}

std::wstring QuotedField(std::wstring_view text, std::wstring_view special) {
    if (text.find_first_of(special) == std::wstring_view::npos) return std::wstring(text);
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"') quoted += L'"';
        quoted += c;
    }
    return quoted + L'"';
}

std::vector<std::uint8_t> StringData(std::wstring_view text) {
    auto bytes = EncodeUtf16Le(std::wstring(text));
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<std::uint8_t> MultiStringData(const std::vector<std::wstring>& strings) {
    std::vector<std::uint8_t> bytes;
    for (const auto& text : strings) {
        const auto one = StringData(text);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

}  // namespace keyscour
