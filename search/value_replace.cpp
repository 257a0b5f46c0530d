#include "search/value_replace.h"

#include <algorithm>

#include "registry/value_forms.h"
#include "registry/registry.h"

namespace keyscour::search {

namespace {
constexpr wchar_t kGaveUp[] = L"the regex gave up on it: too long for the pattern, or too costly to match";
}

ValueChange ReplaceInValue(const TextRule& rule, const std::wstring& with, std::uint32_t type,
                           std::span<const std::uint8_t> data) {
    ValueChange change;
    if (type == value_type::kString || type == value_type::kExpandString) {
        const std::wstring before = StringOf(data);
        const auto replaced = rule.Replace(before, with);
        if (!replaced) {
            change.reason = kGaveUp;
            return change;
        }
        const std::wstring& after = *replaced;
        if (after == before) {
            change.reason = L"its data holds no match";
            return change;
        }
        change.data = StringData(after);
    } else if (type == value_type::kMultiString) {
        std::vector<std::wstring> strings = StringsOf(data);
        // What lies after the list's end would be lost by writing it anew.
        const auto listed = MultiStringData(strings);
        const std::size_t listBytes = listed.size() - 2;
        if (std::any_of(data.begin() + static_cast<std::ptrdiff_t>(std::min(listBytes, data.size())), data.end(),
                        [](std::uint8_t b) { return b != 0; })) {
            change.reason = L"its data goes on after the end of its list";
            return change;
        }
        bool any = false;
        for (auto& text : strings) {
            auto replaced = rule.Replace(text, with);
            if (!replaced) {
                change.reason = kGaveUp;
                return change;
            }
            std::wstring after = std::move(*replaced);
            if (after == text) continue;
            if (after.empty()) {
                change.reason = L"a string of the list would be empty, which would end the list there";
                return change;
            }
            text = std::move(after);
            any = true;
        }
        if (!any) {
            change.reason = L"its data holds no match";
            return change;
        }
        change.data = MultiStringData(strings);
    } else {
        change.reason = TypeName(type) + L" data is never changed by a text replace";
        return change;
    }
    change.changed = true;
    return change;
}

}  // namespace keyscour::search
