#include "search/exclusions.h"

#include <algorithm>

#include "base/unicode_case.h"
#include "registry/root_keys.h"

namespace keyscour::search {

namespace {

std::vector<std::wstring> Names(std::wstring_view path) {
    std::vector<std::wstring> names;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t slash = std::min(path.find(L'\\', at), path.size());
        names.push_back(UpperCased(path.substr(at, slash - at)));
        at = slash + 1;
    }
    return names;
}

// Whether the names of a path, from at, match the pattern's from from.
bool NamesMatch(const std::vector<std::wstring>& pattern, std::size_t from, const std::vector<std::wstring>& names,
                std::size_t at) {
    if (from == pattern.size()) return at == names.size();
    if (pattern[from] == L"**") {
        // Any number of names, none included.
        for (std::size_t skip = at; skip <= names.size(); ++skip)
            if (NamesMatch(pattern, from + 1, names, skip)) return true;
        return false;
    }
    return at < names.size() && GlobMatches(pattern[from], names[at]) && NamesMatch(pattern, from + 1, names, at + 1);
}

}  // namespace

bool GlobMatches(std::wstring_view pattern, std::wstring_view text) {
    // The last star's place, to go back to: linear in practice.
    std::size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

void Exclusions::AddKey(const std::wstring& pattern) {
    std::wstring_view path = pattern;
    while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    KeyPattern key;
    const std::size_t slash = path.find(L'\\');
    if (const auto root = ParseRootName(path.substr(0, slash))) {
        key.root = root;
        path = slash == std::wstring_view::npos ? std::wstring_view() : path.substr(slash + 1);
    }
    if (path.empty() && !key.root) throw BadPattern{pattern};
    if (!path.empty()) key.names = Names(path);
    for (const auto& name : key.names)
        if (name.empty()) throw BadPattern{pattern};
    if (std::find(key.names.begin(), key.names.end(), L"**") != key.names.end()) {
        anyDepth_ = true;
    } else {
        if (depths_.size() <= key.names.size()) depths_.resize(key.names.size() + 1);
        depths_[key.names.size()] = true;
    }
    keys_.push_back(std::move(key));
}

void Exclusions::AddValueName(const std::wstring& pattern) { names_.push_back(UpperCased(pattern)); }

bool Exclusions::ExcludesKey(KeyHandle root, std::wstring_view path) const {
    if (keys_.empty()) return false;
    const std::vector<std::wstring> names = path.empty() ? std::vector<std::wstring>{} : Names(path);
    for (const auto& key : keys_) {
        if (key.root && *key.root != root) continue;
        if (NamesMatch(key.names, 0, names, 0)) return true;
    }
    return false;
}

bool Exclusions::ExcludesValue(std::wstring_view name) const {
    if (names_.empty()) return false;
    const std::wstring upper = UpperCased(name);
    for (const auto& pattern : names_)
        if (GlobMatches(pattern, upper)) return true;
    return false;
}

}  // namespace keyscour::search
