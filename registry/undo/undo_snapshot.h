#pragma once
// What a replace is about to overwrite, kept as a registry script in the
// "Windows Registry Editor Version 5.00" form: importing it puts every
// value back as it was and removes the keys that the writes created.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/error_numbers.h"
#include "base/spill_file.h"
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
    // A value to be renamed newName (its data changed too, maybe): the
    // rename's mark, then newName removed and the value as it is written
    // back under its own name. newName must be free: only the value itself
    // may answer to it.
    void CaptureRenamedValue(const MRegistry::ValueAddress& where, const std::wstring& newName);
    // A key to be renamed newName: in a marked block, the key at
    // finalKeyPath removed (where it will be once every rename is made) and
    // then the key as it is, with every key and value below it. Throws
    // NumberedError when a key of it cannot be read or a name cannot stand
    // in a script.
    void CaptureRenamedKey(KeyHandle root, const std::wstring& keyPath, const std::wstring& newName,
                           const std::wstring& finalKeyPath);

    bool Empty() const { return values_ == 0 && lines_ == 0 && createdKeys_.empty(); }
    // The script, lines ending in CR LF.
    std::wstring Script() const;
    // The script's sections, for one script of several snapshots; with
    // flush, what is written goes to it in pieces of about a megabyte, so
    // that no script of a big replace is ever held whole.
    using Flush = std::function<void(std::wstring_view piece)>;
    void AppendTo(RegScriptWriter& script, const Flush& flush = {}) const;

private:
    void CaptureCreatedKeys(KeyHandle root, const std::wstring& keyPath);
    // What the script says at a record's place besides a value's state.
    enum class Kind : std::uint32_t { kValue, kComment, kKey, kRemovedKey };
    void SaveLine(Kind kind, const std::wstring& text);
    void SaveValue(const std::wstring& fullKey, const std::wstring& name, bool existed, std::uint32_t type,
                   std::span<const std::uint8_t> data);

    Registry& registry_;
    RootNamer rootName_;
    // Each value as it was (full key name, name, whether it existed, type,
    // data), in the order captured: on disk, since a replace of every value
    // of a hive keeps as much as the hive holds.
    mutable SpillFile saved_;
    std::size_t values_ = 0;
    std::size_t lines_ = 0;
    // A value captured twice is kept once: its key's names, while captures
    // stay in that key (a walk's do). One met again in a later key's turn
    // is kept again, with the same bytes, since captures precede every write.
    std::wstring lastKey_;
    std::unordered_set<std::wstring> namesInLastKey_;
    std::vector<std::wstring> createdKeys_;  // full names, in the order met
    std::unordered_set<std::wstring> created_;
};

}  // namespace keyscour
