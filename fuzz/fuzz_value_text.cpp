// The display form and the text comparisons over arbitrary value data and
// search strings: the window's rule and the command line's, its regular
// expressions and their replace format among them.

#include <cstdint>
#include <cstring>
#include <string>

#include "base/utf16.h"
#include "search/text_rule.h"
#include "search/value_replace.h"
#include "engine/keyscour.h"
#include "registry/memory_registry.h"
#include "registry/value_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using namespace keyscour;
    if (size < 6) return 0;
    // type, flags and the search string's length lead; the rest is split
    // into the search string and the data.
    std::uint32_t type = 0;
    std::memcpy(&type, bytes, 4);
    const std::uint8_t flags = bytes[4];
    const std::size_t textBytes = std::min<std::size_t>(bytes[5] * 2u, size - 6);
    const std::wstring text = DecodeUtf16Le(bytes + 6, textBytes);
    const std::span<const std::uint8_t> data(bytes + 6 + textBytes, size - 6 - textBytes);

    MemoryRegistry registry;
    auto engine = cKeyscour::Create(registry);
    engine->SearchString(text);
    engine->SearchFlags(flags & 7);
    const std::wstring shown = cKeyscour::FormatValueData(type, data.empty() ? std::span<const std::uint8_t>() : data);
    engine->IsMatch(shown);

    search::RuleOptions options;
    options.text = text;
    options.whole = flags & 8;
    options.names = flags & 16;
    options.regex = flags & 32;
    // With a regex, the replacement's $-forms come from the data's first bytes.
    const std::wstring with = (flags & 64) ? DecodeUtf16Le(data.data(), std::min<std::size_t>(data.size(), 16) & ~1u)
                                           : std::wstring(L"x\u00FC$1$&$$");
    try {
        search::TextRule rule(options);
        rule.ValueMatches(text, type, data);
        DataText(type, data);
        search::ReplaceInValue(rule, with, type, data);
    } catch (const search::RegexError&) {
        // Not a pattern: refused, as the command line refuses it.
    }
    return 0;
}
