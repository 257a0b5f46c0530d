#pragma once
// The search engine: walks one key tree, or the same tree under every root,
// and reports each hit the moment it is found. It keeps no list of hits.
// Its built-in compare (search string and flags) is the window's; the
// command line brings its own through MatchRule.

#include <cstdint>
#include <functional>
#include <array>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "registry/registry.h"

namespace keyscour {

// Search flags.
inline constexpr std::int32_t SearchValueNames = 1;
inline constexpr std::int32_t SearchValueData = 2;
inline constexpr std::int32_t MatchWholeText = 4;

// lFound of SearchFound.
inline constexpr std::int32_t FoundKeyName = 0;
inline constexpr std::int32_t FoundValueName = 1;
inline constexpr std::int32_t FoundValueData = 2;

// lReason of SearchFinished; any other value is an internal error's number.
inline constexpr std::int32_t ReasonCompleted = 0;
inline constexpr std::int32_t ReasonStopped = 1;

// Which parts of a value matched, in SearchHit::matched.
inline constexpr int kMatchedName = 1;
inline constexpr int kMatchedData = 2;

// A hit as the walk sees it. sKey alone cannot tell where its key path ends,
// since a value name may hold a backslash; a writer needs to know.
struct SearchHit {
    KeyHandle root;
    const std::wstring& sKey;
    std::size_t keyPathLength;  // sKey's first keyPathLength characters are the key path
    const std::wstring& sValue;
    std::int32_t lFound;
    std::uint32_t type;                  // value hits only
    std::span<const std::uint8_t> data;  // value hits only: the value's whole data, as long as it is
    int matched = 0;                     // value hits: kMatchedName, kMatchedData or both
    bool tombstone = false;              // a value deleted in this layer: REG_NONE, no data
    // The key's path and the value's name as the walk has them, apart:
    // sKey joins them for the window; the command line takes them as
    // they are, never splitting sKey again.
    std::wstring_view keyPath = {};
    std::wstring_view valueName = {};
};

// A comparison in place of the window's, for the command line: what is a hit
// is decided per key name and per value, on the value's raw data. With a
// rule, every value is one hit at most, whatever of it matched.
class MatchRule {
public:
    virtual ~MatchRule() = default;
    virtual bool KeyNameMatches(std::wstring_view name) = 0;
    virtual bool ScansValues() const = 0;
    // kMatchedName and kMatchedData (or a rule's own flags for parts of the
    // data) for what matches, 0 for no hit.
    virtual int ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) = 0;
    // Whether ValueMatches looks at names; if not, it is given none and
    // only a hit's name is read.
    virtual bool ComparesValueNames() const { return true; }
    // Whether the walk goes into the key at path (below the walk's root):
    // a key left out is neither announced nor counted, nor anything below it.
    virtual bool EntersKey(std::wstring_view path) {
        (void)path;
        return true;
    }
};

// The one listener of an engine. Events arrive synchronously, on the thread
// that called DoSearch.
class cKeyscourEvents {
public:
    virtual void SearchFound(const std::wstring& sRootKey, const std::wstring& sKey,
                             const std::wstring& sValue, std::int32_t lFound) = 0;
    // Raised for every hit instead of SearchFound; by default it passes the
    // hit on as SearchFound. SearchFound is the design's event, with the
    // texts the window lists; SearchHitFound carries what only the front
    // ends that need more take: the root's handle, where the key path ends,
    // the value's type and raw data, what matched, and a tombstone.
    virtual void SearchHitFound(const SearchHit& hit);
    virtual void SearchFinished(std::int32_t lReason) = 0;
    virtual void SearchKeyChanged(const std::wstring& sFullKeyName) = 0;

protected:
    ~cKeyscourEvents() = default;
};

class cKeyscour : public std::enable_shared_from_this<cKeyscour> {
public:
    // Processes the thread's pending messages; called once per sub key step.
    using YieldFunction = std::function<void()>;

    // The registry must outlive the engine. Create it through a shared_ptr
    // so that a search keeps it alive when its owner lets go mid-search.
    static std::shared_ptr<cKeyscour> Create(Registry& registry, YieldFunction yield = {});
    cKeyscour(Registry& registry, YieldFunction yield);
    ~cKeyscour();
    cKeyscour(const cKeyscour&) = delete;
    cKeyscour& operator=(const cKeyscour&) = delete;

    void Advise(cKeyscourEvents* listener) { listener_ = listener; }
    void Unadvise() { listener_ = nullptr; }

    // Write-only settings, stored unchanged.
    void SubKey(std::wstring value) { mSubKey = std::move(value); }
    void SearchString(std::wstring value);
    void SearchFlags(std::int32_t value) { mSearchFlags = value; }
    void RootKey(KeyHandle value) { mRootKey = value; }
    // Replaces the search string and flags as what decides a hit; null for them again.
    void Rule(std::shared_ptr<MatchRule> rule) { rule_ = std::move(rule); }

    // Runs one whole search; returns after SearchFinished has been raised.
    void DoSearch();
    // Asks a running (or the next) search to wind down.
    void StopSearch() { mStopReason = ReasonStopped; }
    // Keys the last search met but could not open, for a reason other than
    // their being gone.
    std::uint64_t UnreadableKeys() const { return unreadableKeys_; }
    // Values a search met but could not read whole (too large for any buffer).
    std::uint64_t UnreadableValues() const { return unreadableValues_; }

    // The characters of the buffer a sub key's or a value's name comes in.
    static constexpr std::uint32_t kNameBufferChars = 260;

    // Pure helpers, public so the rules they implement can be checked directly.
    static std::wstring_view TrimNull(std::wstring_view text);
    static std::wstring RootKeyName(KeyHandle handle);
    static std::wstring FormatValueData(std::uint32_t type, std::span<const std::uint8_t> data);
    static void FormatValueData(std::uint32_t type, std::span<const std::uint8_t> data, std::wstring& text);
    bool IsMatch(std::wstring_view text) const;

private:
    void EnumSubKeys(KeyHandle root, const std::wstring& path);
    void ScanValues(KeyHandle root, const std::wstring& path);
    unique_registry_key OpenForReading(KeyHandle root, const std::wstring& path, Status* status = nullptr);

    void RaiseSearchFound(const SearchHit& hit);
    bool ScansValues() const {
        return rule_ ? rule_->ScansValues() : (mSearchFlags & (SearchValueNames | SearchValueData)) != 0;
    }
    bool KeyNameMatches(std::wstring_view name) { return rule_ ? rule_->KeyNameMatches(name) : IsMatch(name); }

    Registry& registry_;
    YieldFunction yield_;
    cKeyscourEvents* listener_ = nullptr;
    std::shared_ptr<MatchRule> rule_;

    KeyHandle mRootKey = 0;
    std::int32_t mSearchFlags = 0;
    std::wstring mSearchString;
    std::wstring mSubKey;
    std::int32_t mStopReason = 0;

    std::wstring mSearchStringUpper;  // follows mSearchString

    // Reused storage: the walk would otherwise allocate for every comparison.
    mutable std::wstring upperScratch_;
    std::wstring fullNameScratch_;
    std::wstring displayScratch_;
    std::unique_ptr<struct ValueBuffers> valueBuffers_;
    // The sub key paths of the keys being walked, one a level below the
    // start: a deque, so that a path stays where it is while deeper levels
    // are added.
    std::deque<std::wstring> subPaths_;
    std::size_t depth_ = 0;
    std::array<wchar_t, kNameBufferChars> keyName_;
    std::size_t keyNameWritten_ = kNameBufferChars;  // how much of keyName_ may be other than spaces
    std::uint64_t unreadableKeys_ = 0;
    std::uint64_t unreadableValues_ = 0;
};

}  // namespace keyscour
