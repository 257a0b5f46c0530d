#pragma once
// The rows of the result list, held once, in the window: the list view
// asks for their texts when it paints (it is an owner-data list), so a
// search of a hundred thousand hits costs little more than their text, adding
// a row sends no message, and clearing is one release of memory.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace keyscour {

class ResultRows {
public:
    void Add(KeyHandle root, std::wstring_view key, std::size_t keyPathLength, std::wstring_view value,
             std::int32_t kind);
    void Clear();

    std::size_t Count() const { return rows_.size(); }
    KeyHandle Root(std::size_t row) const { return rows_[row].root; }
    std::wstring_view RootName(std::size_t row) const;
    std::wstring_view Key(std::size_t row) const;  // "Sub Key": the value path for a value hit
    std::size_t KeyPathLength(std::size_t row) const { return rows_[row].keyPathLength; }
    std::wstring_view Value(std::size_t row) const;
    std::wstring_view Column(std::size_t row, int column) const;
    std::int32_t Kind(std::size_t row) const { return rows_[row].kind; }

    bool Red(std::size_t row) const { return rows_[row].red; }
    void MarkRed(std::size_t row) { rows_[row].red = true; }

private:
    struct Row {
        const wchar_t* text;  // key, then value, in one of the chunks
        std::uint32_t keyLength;
        std::uint32_t valueLength;
        std::uint32_t keyPathLength;
        KeyHandle root;
        std::int8_t kind;
        bool red;
    };
    wchar_t* Reserve(std::size_t chars);

    // Text lives in large chunks that never move, so a row's pointer stays
    // valid and growth never copies what is there.
    std::vector<std::unique_ptr<wchar_t[]>> chunks_;
    std::size_t chunkChars_ = 0;
    std::size_t used_ = 0;
    std::vector<Row> rows_;
};

}  // namespace keyscour
