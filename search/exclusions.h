#pragma once
// What --exclude and --exclude-name leave out: keys by their path as rows
// name them (or a full path with its root), values by their name; each
// pattern ignoring case, with * and ? within a name and ** for any number
// of keys.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace keyscour::search {

class Exclusions {
public:
    // Throws BadPattern for an empty pattern or one with an empty name in
    // its path.
    struct BadPattern {
        std::wstring pattern;
    };
    void AddKey(const std::wstring& pattern);
    void AddValueName(const std::wstring& pattern);
    bool Empty() const { return keys_.empty() && names_.empty(); }
    bool NamesValues() const { return !names_.empty(); }

    // Whether the key at path below root (as rows name it, a hive's mount
    // included) is left out, with all below it.
    bool ExcludesKey(KeyHandle root, std::wstring_view path) const;
    bool ExcludesValue(std::wstring_view name) const;
    // Whether a key depth names deep (1 for a root's sub keys) could be
    // excluded at all: most keys of a walk are passed without a compare.
    bool MayExcludeAt(std::size_t depth) const {
        return anyDepth_ || (depth < depths_.size() && depths_[depth]);
    }

private:
    struct KeyPattern {
        std::optional<KeyHandle> root;     // none: under any root
        std::vector<std::wstring> names;  // upper-cased; "**" for any depth
    };
    std::vector<KeyPattern> keys_;
    std::vector<bool> depths_;  // the depths patterns without ** exclude at
    bool anyDepth_ = false;
    std::vector<std::wstring> names_;  // upper-cased
};

// Whether text matches pattern, both upper-cased: * any run, ? one character.
bool GlobMatches(std::wstring_view pattern, std::wstring_view text);

}  // namespace keyscour::search
