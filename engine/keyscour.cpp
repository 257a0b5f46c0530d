#include "engine/keyscour.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "engine/internal_error.h"
#include "engine/text_case.h"
#include "registry/root_keys.h"

namespace keyscour {

namespace {

constexpr std::uint32_t kNameChars = cKeyscour::kNameBufferChars;
constexpr std::uint32_t kDataBytes = 4096;
// What the registry allows a value name, and a bound on the data taken in
// one piece, far above what the registry holds in practice.
constexpr std::uint32_t kMaxNameChars = 16384;
constexpr std::uint32_t kMaxDataBytes = 256u << 20;

}  // namespace

// The name and data buffers of one value enumeration step. Every step starts
// from buffers that are all NUL, as if made afresh; since the registry writes
// only the lengths it returns, clearing those restores them without clearing
// 4 KB for every value. A value that does not fit grows them for the rest of
// the key.
struct ValueBuffers {
    std::vector<wchar_t> name = std::vector<wchar_t>(kNameChars);
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kDataBytes);
    std::size_t nameUsed = 0;
    std::size_t dataUsed = 0;

    void Renew() {
        std::fill_n(name.begin(), nameUsed, L'\0');
        std::fill_n(data.begin(), dataUsed, std::uint8_t{0});
    }
    void Written(std::uint32_t nameChars, std::uint32_t dataBytes) {
        nameUsed = std::min<std::size_t>(std::size_t{nameChars} + 1, name.size());
        dataUsed = std::min<std::size_t>(dataBytes, data.size());
    }
    // After a step that did not fit (dataBytes: what the registry said the
    // data needs; limits: the key's longest name and largest data, when the
    // registry knows them): room for the value, or false when no buffer can
    // hold it. A failed step may have written anything, so both start clean.
    bool Grow(std::uint32_t dataBytes, const std::optional<std::pair<std::uint32_t, std::uint32_t>>& limits) {
        if (limits) {
            // Exactly what the key needs, once: more would not help.
            const std::size_t names = std::size_t{limits->first} + 1;
            const std::size_t bytes = std::max<std::size_t>(limits->second, dataBytes);
            if (names <= name.size() && bytes <= data.size()) return false;
            if (bytes > kMaxDataBytes) return false;
            name.resize(std::max(name.size(), names));
            data.resize(std::max(data.size(), bytes));
        } else if (dataBytes > data.size() && dataBytes <= kMaxDataBytes) {
            data.resize(dataBytes);
        } else if (name.size() <= kMaxNameChars) {
            name.resize(kMaxNameChars + 1);
        } else if (data.size() < kMaxDataBytes) {
            data.resize(std::min<std::size_t>(data.size() * 2, kMaxDataBytes));
        } else {
            return false;
        }
        std::fill(name.begin(), name.end(), L'\0');
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        nameUsed = dataUsed = 0;
        return true;
    }
};

std::shared_ptr<cKeyscour> cKeyscour::Create(Registry& registry, YieldFunction yield) {
    return std::make_shared<cKeyscour>(registry, std::move(yield));
}

cKeyscour::cKeyscour(Registry& registry, YieldFunction yield)
    : registry_(registry), yield_(std::move(yield)) {}

cKeyscour::~cKeyscour() { mStopReason = ReasonStopped; }

void cKeyscour::SearchString(std::wstring value) {
    mSearchStringUpper = ToUpperCase(value);
    mSearchString = std::move(value);
}

void cKeyscour::DoSearch() {
    // The owner may let go of the engine from a handler that runs in a yield.
    const auto keepAlive = weak_from_this().lock();
    unreadableKeys_ = 0;
    unreadableValues_ = 0;

    if (mRootKey != 0) {
        if (ScansValues()) ScanValues(mRootKey, mSubKey);
        EnumSubKeys(mRootKey, mSubKey);
    } else {
        for (KeyHandle root = kClassesRoot; root <= kDynData; ++root) {
            EnumSubKeys(root, mSubKey);
            if (mStopReason != 0) break;
        }
    }

    const std::int32_t reason = mStopReason;
    try {
        if (listener_) listener_->SearchFinished(reason);
    } catch (...) {
        // The search is over; a failing listener has nobody left to tell.
    }
    mStopReason = 0;
}

unique_registry_key cKeyscour::OpenForReading(KeyHandle root, const std::wstring& path, Status* status) {
    KeyHandle key = 0;
    const Status opened = registry_.OpenKey(root, path, key);
    if (opened != status::kSuccess) key = 0;
    if (status) *status = opened;
    return AdoptKey(registry_, key);
}

void cKeyscour::EnumSubKeys(KeyHandle root, const std::wstring& path) {
    if (mStopReason != 0) return;
    try {
        // Every key the walk meets comes here, once.
        Status opened = status::kSuccess;
        const auto key = OpenForReading(root, path, &opened);
        if (!key) {
            if (opened != status::kNotFound) ++unreadableKeys_;
            return;
        }

        const std::wstring_view rootName = RootKeyNameOf(root);
        // Each level builds its sub keys' paths in storage of its own, kept
        // from key to key and from walk to walk.
        struct Level {
            std::size_t& depth;
            ~Level() { --depth; }
        } level{++depth_};
        if (subPaths_.size() < depth_) subPaths_.emplace_back();
        std::wstring& subPath = subPaths_[depth_ - 1];
        // One name buffer for every level, all spaces before every call: a
        // name is copied into its path before the walk goes deeper. The
        // registry writes a name and its NUL, and nothing when there are no
        // more, so those are all that need filling again.
        auto& buffer = keyName_;
        for (std::uint32_t index = 0;;) {
            if (yield_) yield_();
            std::fill_n(buffer.begin(), keyNameWritten_, L' ');
            keyNameWritten_ = 0;
            const Status listed = registry_.EnumKey(key.get(), index, buffer.data(), kNameChars);
            if (listed != status::kSuccess) {
                if (listed != status::kNoMoreItems) keyNameWritten_ = buffer.size();
                break;
            }
            ++index;

            const std::wstring_view name = TrimNull({buffer.data(), buffer.size()});
            keyNameWritten_ = std::min(name.size() + 1, buffer.size());
            // A key without a name cannot be opened by its path: the path
            // would be its parent's, and the walk would go round for ever.
            if (name.empty()) continue;
            subPath.assign(path);
            if (!path.empty()) subPath.append(1, L'\\');
            subPath.append(name);
            if (rule_ && !rule_->EntersKey(subPath)) continue;
            if (mStopReason == 0 && listener_) {
                fullNameScratch_.assign(rootName).append(1, L'\\').append(subPath);
                listener_->SearchKeyChanged(fullNameScratch_);
            }
            if (KeyNameMatches(name)) {
                static const std::wstring kKeyHitValue = L"*";
                RaiseSearchFound({root, subPath, subPath.size(), kKeyHitValue, FoundKeyName, 0, {}, 0, false, subPath});
            }
            if (ScansValues()) ScanValues(root, subPath);
            EnumSubKeys(root, subPath);
        }
    } catch (...) {
        // The key has been closed by the unwinding; the callers wind down.
        mStopReason = CurrentErrorNumber();
    }
}

void cKeyscour::ScanValues(KeyHandle root, const std::wstring& path) {
    if (mStopReason != 0) return;
    try {
        const auto key = OpenForReading(root, path);
        if (!key) return;

        // Kept from key to key: a walk scans every key's values.
        if (!valueBuffers_) valueBuffers_ = std::make_unique<ValueBuffers>();
        ValueBuffers& buffers = *valueBuffers_;
        // A rule that does not compare names leaves them unread until a hit
        // needs one: in a hive a name costs as much to read as its data.
        const bool names = !rule_ || rule_->ComparesValueNames();
        std::uint32_t nameChars = 0;
        std::uint32_t dataBytes = 0;
        std::uint32_t type = 0;
        // The key's limits, asked at its first value that does not fit.
        std::optional<std::pair<std::uint32_t, std::uint32_t>> limits;
        bool limitsAsked = false;
        const auto grow = [&](std::uint32_t needed) {
            if (!limitsAsked) {
                limitsAsked = true;
                std::uint32_t longest = 0, largest = 0;
                if (registry_.QueryValueLimits(key.get(), longest, largest) == status::kSuccess)
                    limits.emplace(longest, largest);
            }
            return buffers.Grow(needed, limits);
        };
        const auto read = [&](std::uint32_t index, bool withName) {
            Status status = status::kSuccess;
            do {
                nameChars = withName ? static_cast<std::uint32_t>(buffers.name.size()) : 0;
                dataBytes = static_cast<std::uint32_t>(buffers.data.size());
                status = registry_.EnumValue(key.get(), index, withName ? buffers.name.data() : nullptr, nameChars,
                                             type, buffers.data.data(), dataBytes);
            } while (status == status::kMoreData && grow(dataBytes));
            if (status == status::kSuccess) buffers.Written(nameChars, dataBytes);
            return status;
        };
        for (std::uint32_t index = 0;; ++index) {
            buffers.Renew();
            const Status status = read(index, names);
            if (status == status::kMoreData) {
                ++unreadableValues_;  // beyond any buffer: counted, and the next value
                continue;
            }
            if (status != status::kSuccess) break;

            // A value without data still has a buffer of one zero byte.
            const std::span<const std::uint8_t> bytes(buffers.data.data(),
                                                      std::clamp<std::size_t>(dataBytes, 1, buffers.data.size()));
            const auto whole = [&] {
                return std::span<const std::uint8_t>(buffers.data.data(), std::min<std::size_t>(dataBytes, buffers.data.size()));
            };
            std::wstring_view valueName = TrimNull({buffers.name.data(), buffers.name.size()});
            auto valuePath = [&] { return path + L'\\' + std::wstring(valueName); };

            if (rule_) {
                if (const int matched = rule_->ValueMatches(valueName, type, whole())) {
                    if (!names) {
                        // The hit's name, read with its data again (a longer name grows the buffers).
                        if (read(index, true) != status::kSuccess) {
                            ++unreadableValues_;
                            continue;
                        }
                        valueName = TrimNull({buffers.name.data(), buffers.name.size()});
                    }
                    static const std::wstring kNoDisplay;
                    const std::wstring sKey = valuePath();
                    // Anything besides the name is in the data.
                    const std::int32_t found = (matched & ~kMatchedName) ? FoundValueData : FoundValueName;
                    // Asked of hits only: few values are.
                    if (registry_.IsTombstone(key.get(), index))
                        RaiseSearchFound({root, sKey, path.size(), kNoDisplay, found, 0, {}, matched, true, path, valueName});
                    else
                        RaiseSearchFound({root, sKey, path.size(), kNoDisplay, found, type, whole(), matched, false, path,
                                          valueName});
                }
                continue;
            }

            if ((mSearchFlags & SearchValueNames) && IsMatch(valueName)) {
                const std::wstring sKey = valuePath();
                const std::wstring sValue = FormatValueData(type, bytes);
                RaiseSearchFound(
                    {root, sKey, path.size(), sValue, FoundValueName, type, whole(), kMatchedName, false, path, valueName});
            }
            if (mSearchFlags & SearchValueData) {
                FormatValueData(type, bytes, displayScratch_);
                if (IsMatch(displayScratch_)) {
                    const std::wstring sKey = valuePath();
                    RaiseSearchFound({root, sKey, path.size(), displayScratch_, FoundValueData, type, whole(), kMatchedData,
                                      false, path, valueName});
                }
            }
        }
    } catch (...) {
        mStopReason = CurrentErrorNumber();
    }
}

void cKeyscour::RaiseSearchFound(const SearchHit& hit) {
    if (listener_) listener_->SearchHitFound(hit);
}

void cKeyscourEvents::SearchHitFound(const SearchHit& hit) {
    SearchFound(std::wstring(RootKeyNameOf(hit.root)), hit.sKey, hit.sValue, hit.lFound);
}

std::wstring_view cKeyscour::TrimNull(std::wstring_view text) { return text.substr(0, text.find(L'\0')); }

std::wstring cKeyscour::RootKeyName(KeyHandle handle) { return std::wstring(RootKeyNameOf(handle)); }

bool cKeyscour::IsMatch(std::wstring_view text) const {
    if (mSearchFlags & MatchWholeText) return EqualsUpperCased(text, mSearchStringUpper, upperScratch_);
    if (text.empty()) return false;
    return ContainsUpperCased(text, mSearchStringUpper, upperScratch_);
}

}  // namespace keyscour
