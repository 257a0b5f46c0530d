#pragma once
// A listener that writes every event as one line, so that a whole search
// can be compared with the expected sequence at once.

#include <functional>
#include <string>
#include <vector>

#include "engine/keyscour.h"

namespace keyscour::testing {

class EventLog : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring& sRootKey, const std::wstring& sKey, const std::wstring& sValue,
                     std::int32_t lFound) override {
        lines.push_back(L"found " + sRootKey + L" | " + sKey + L" | " + sValue + L" | " +
                        std::to_wstring(lFound));
        if (onFound) onFound();
    }
    void SearchFinished(std::int32_t lReason) override {
        lines.push_back(L"finished " + std::to_wstring(lReason));
    }
    void SearchKeyChanged(const std::wstring& sFullKeyName) override {
        lines.push_back(L"key " + sFullKeyName);
        if (onKeyChanged) onKeyChanged();
    }

    std::vector<std::wstring> Found() const {
        std::vector<std::wstring> found;
        for (const auto& line : lines)
            if (line.starts_with(L"found ")) found.push_back(line);
        return found;
    }

    std::vector<std::wstring> lines;
    std::function<void()> onFound;
    std::function<void()> onKeyChanged;
};

// Sets the engine's inputs as the window does, in its order, and searches.
inline void RunSearch(cKeyscour& engine, KeyHandle root, const std::wstring& subKey, const std::wstring& text,
                      std::int32_t flags) {
    engine.RootKey(root);
    engine.SubKey(subKey);
    engine.SearchFlags(flags);
    engine.SearchString(text);
    engine.DoSearch();
}

}  // namespace keyscour::testing
