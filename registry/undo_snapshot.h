#pragma once
// What a replace is about to overwrite, kept as a registry script in the
// "Windows Registry Editor Version 5.00" form: importing it puts every
// value back as it was and removes the keys that the writes created.

#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace keyscour {

class UndoSnapshot {
public:
    // Errors raised when a value's present state cannot be read: the base
    // plus the registry's status.
    static constexpr std::int32_t kErrorUnreadable = static_cast<std::int32_t>(0x80040000u) + 4000;

    explicit UndoSnapshot(Registry& registry) : registry_(registry) {}

    // Records the present state of the value that a write of sSection below
    // root will replace. Paths the write refuses, and roots outside the
    // table, are passed over: such a write changes nothing.
    void Capture(KeyHandle root, const std::wstring& sSection);

    bool Empty() const { return values_.empty() && createdKeys_.empty(); }
    // The script, lines ending in CR LF.
    std::wstring Script() const;

private:
    void CaptureCreatedKeys(KeyHandle root, const std::wstring& keyPath);

    struct SavedValue {
        std::wstring key;  // full key name, root included
        std::wstring name;
        bool existed = false;
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
    };

    Registry& registry_;
    std::vector<SavedValue> values_;
    std::vector<std::wstring> createdKeys_;  // full names
};

// One value's line in a registry script, without the line end.
std::wstring RegScriptValueLine(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data);

}  // namespace keyscour
