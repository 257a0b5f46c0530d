#pragma once
// What a replace is about to overwrite, kept as a registry script in the
// "Windows Registry Editor Version 5.00" form: importing it puts every
// value back as it was and removes the keys that the writes created.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/error_numbers.h"
#include "registry/script/reg_script.h"
#include "registry/registry.h"
#include "registry/string_writer.h"

namespace keyscour {

class UndoSnapshot {
public:
    // Errors raised when a value's present state cannot be read: the base
    // plus the registry's status.
    static constexpr std::int32_t kErrorUnreadable = error_number::kUndoUnreadable;
    // A key that exists but cannot be opened for reading: the base plus the
    // status. Its values could not be restored, and taking it for missing
    // would make the script remove it.
    static constexpr std::int32_t kErrorKeyUnreadable = error_number::kUndoKeyUnreadable;
    // A name holding a line break: a script line cannot carry it, and
    // importing one that tried would run the rest of the name as lines.
    static constexpr std::int32_t kErrorNotScriptable = error_number::kNotScriptable;

    // The full name of a root handle's key in the script: by default its
    // root key's name; for a hive, the place where it is mounted.
    using RootNamer = std::function<std::wstring(KeyHandle)>;

    explicit UndoSnapshot(Registry& registry, RootNamer rootName = {});

    // Records the present state of the value that a write of sSection below
    // root will replace. Paths the write refuses, and roots outside the
    // table, are passed over: such a write changes nothing. keyPathLength
    // says where the key path ends, as for the writer. Throws NumberedError
    // when the state cannot be kept.
    void Capture(KeyHandle root, const std::wstring& sSection);
    void Capture(KeyHandle root, const std::wstring& sSection, std::size_t keyPathLength);
    // The value at exactly where, for writes of any type.
    void CaptureValue(const MRegistry::ValueAddress& where);

    bool Empty() const { return values_.empty() && createdKeys_.empty(); }
    // The script, lines ending in CR LF.
    std::wstring Script() const;
    // The script's sections, for one script of several snapshots.
    void AppendTo(RegScriptWriter& script) const;

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
    RootNamer rootName_;
    std::vector<SavedValue> values_;
    std::unordered_set<std::wstring> seen_;  // full key name, NUL, value name
    std::vector<std::wstring> createdKeys_;  // full names, in the order met
    std::unordered_set<std::wstring> created_;
};

}  // namespace keyscour
