#include "ui/result_rows.h"

#include <algorithm>

#include "registry/root_keys.h"

namespace keyscour {

namespace {
constexpr std::size_t kChunkChars = 512 * 1024;  // 1 MiB
}

wchar_t* ResultRows::Reserve(std::size_t chars) {
    if (chunks_.empty() || chunkChars_ - used_ < chars) {
        // A text longer than a chunk gets a chunk of its own size.
        chunkChars_ = std::max(kChunkChars, chars);
        chunks_.push_back(std::make_unique_for_overwrite<wchar_t[]>(chunkChars_));
        used_ = 0;
    }
    wchar_t* at = chunks_.back().get() + used_;
    used_ += chars;
    return at;
}

void ResultRows::Add(KeyHandle root, std::wstring_view key, std::size_t keyPathLength, std::wstring_view value,
                     std::int32_t kind) {
    wchar_t* text = Reserve(key.size() + value.size());
    std::copy(key.begin(), key.end(), text);
    std::copy(value.begin(), value.end(), text + key.size());
    rows_.push_back({text, static_cast<std::uint32_t>(key.size()), static_cast<std::uint32_t>(value.size()),
                     static_cast<std::uint32_t>(std::min(keyPathLength, key.size())), root,
                     static_cast<std::int8_t>(kind), false});
}

void ResultRows::Clear() {
    // Released, not kept: the next search may find far fewer rows.
    std::vector<Row>().swap(rows_);
    chunks_.clear();
    chunkChars_ = used_ = 0;
}

std::wstring_view ResultRows::RootName(std::size_t row) const { return RootKeyNameOf(rows_[row].root); }

std::wstring_view ResultRows::Key(std::size_t row) const { return {rows_[row].text, rows_[row].keyLength}; }

std::wstring_view ResultRows::Value(std::size_t row) const {
    return {rows_[row].text + rows_[row].keyLength, rows_[row].valueLength};
}

std::wstring_view ResultRows::Column(std::size_t row, int column) const {
    switch (column) {
    case 0: return RootName(row);
    case 1: return Key(row);
    case 2: return Value(row);
    default: return {};
    }
}

}  // namespace keyscour
