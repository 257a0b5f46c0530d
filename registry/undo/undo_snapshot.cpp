#include "registry/undo/undo_snapshot.h"

#include <algorithm>

#include "base/numbered_error.h"
#include "registry/script/reg_script.h"
#include "registry/root_keys.h"
#include "registry/subtree.h"
#include "registry/undo/rename_marks.h"
#include "registry/string_writer.h"

namespace keyscour {

namespace {

std::wstring FullKeyName(std::wstring_view rootName, const std::wstring& keyPath) {
    std::wstring full(rootName);
    if (!keyPath.empty()) full.append(1, L'\\').append(keyPath);
    return full;
}

}  // namespace

UndoSnapshot::UndoSnapshot(Registry& registry, RootNamer rootName)
    : registry_(registry), rootName_(std::move(rootName)) {
    if (!rootName_) rootName_ = [](KeyHandle root) { return std::wstring(RootKeyNameOf(root)); };
}

void UndoSnapshot::Capture(KeyHandle root, const std::wstring& sSection) {
    MRegistry::ValuePath path;
    if (rootName_(root).empty() || MRegistry::ResolveValuePath(sSection, path)) return;
    CaptureValue({root, path.keyPath, path.valueName});
}

void UndoSnapshot::Capture(KeyHandle root, const std::wstring& sSection, std::size_t keyPathLength) {
    MRegistry::ValuePath path;
    if (rootName_(root).empty() || MRegistry::ResolveValuePath(sSection, keyPathLength, path)) return;
    CaptureValue({root, path.keyPath, path.valueName});
}

void UndoSnapshot::CaptureValue(const MRegistry::ValueAddress& where) {
    const KeyHandle root = where.root;
    const std::wstring& keyPath = where.keyPath;
    const std::wstring& valueName = where.valueName;
    const std::wstring rootName = rootName_(root);
    if (rootName.empty()) return;
    // Named where the store keeps it: a 32-bit view's key by its WOW6432Node path.
    const std::wstring fullKey = FullKeyName(rootName, registry_.StoredPath(root, keyPath));
    if (!RegScriptWriter::Carries(fullKey) || !RegScriptWriter::Carries(valueName))
        throw NumberedError(kErrorNotScriptable, L"A name holds a line break, which an undo file cannot carry: " +
                                                     fullKey + L"\\" + valueName);
    if (fullKey != lastKey_) {
        lastKey_ = fullKey;
        namesInLastKey_.clear();
    }
    if (namesInLastKey_.contains(valueName)) return;

    KeyHandle key = 0;
    const Status opened = registry_.OpenKey(root, keyPath, key);
    if (opened == status::kNotFound) return CaptureCreatedKeys(root, keyPath);
    if (opened != status::kSuccess)
        throw NumberedError(kErrorKeyUnreadable + static_cast<std::int32_t>(opened),
                            L"Could not read the registry key to keep for undo: " + fullKey);
    const auto owner = AdoptKey(registry_, key);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    const Status read = registry_.QueryValue(key, valueName, type, data);
    if (read != status::kSuccess && read != status::kNotFound)
        throw NumberedError(kErrorUnreadable + static_cast<std::int32_t>(read),
                            L"Could not read the registry value to keep for undo: " + fullKey + L"\\" + valueName);
    SaveValue(fullKey, valueName, read == status::kSuccess, type, data);
    namesInLastKey_.insert(valueName);
}

void UndoSnapshot::SaveValue(const std::wstring& fullKey, const std::wstring& name, bool existed, std::uint32_t type,
                             std::span<const std::uint8_t> data) {
    RecordWriter saved;
    saved.U32(static_cast<std::uint32_t>(Kind::kValue));
    saved.Text(fullKey);
    saved.Text(name);
    saved.U32(existed ? 1 : 0);
    saved.U32(type);
    saved.Bytes(std::vector<std::uint8_t>(data.begin(), data.end()));
    saved_.Append(saved.Record());
    ++values_;
}

void UndoSnapshot::SaveLine(Kind kind, const std::wstring& text) {
    RecordWriter saved;
    saved.U32(static_cast<std::uint32_t>(kind));
    saved.Text(text);
    saved_.Append(saved.Record());
    ++lines_;
    // A value captured after it starts a section of its own.
    lastKey_.clear();
    namesInLastKey_.clear();
}

void UndoSnapshot::CaptureRenamedValue(const MRegistry::ValueAddress& where, const std::wstring& newName) {
    const std::wstring rootName = rootName_(where.root);
    if (rootName.empty()) return;
    const std::wstring fullKey = FullKeyName(rootName, registry_.StoredPath(where.root, where.keyPath));
    if (!RegScriptWriter::Carries(newName))
        throw NumberedError(kErrorNotScriptable, L"A name holds a line break, which an undo file cannot carry: " +
                                                     fullKey + L"\\" + newName);
    SaveLine(Kind::kComment, RenameMarkLine({false, fullKey, newName, where.valueName}));
    // Removed first: for a change of case alone, "Alice"=- removes the
    // value that "alice"=... then writes back in its own case.
    lastKey_ = fullKey;
    SaveValue(fullKey, newName, false, 0, {});
    namesInLastKey_.insert(newName);
    CaptureValue(where);
}

void UndoSnapshot::CaptureRenamedKey(KeyHandle root, const std::wstring& keyPath, const std::wstring& newName,
                                     const std::wstring& finalKeyPath) {
    const std::wstring rootName = rootName_(root);
    if (rootName.empty()) return;
    const std::wstring fullKey = FullKeyName(rootName, keyPath);
    const std::size_t slash = fullKey.rfind(L'\\');
    const std::wstring parent = fullKey.substr(0, slash);
    const std::wstring oldName = fullKey.substr(slash + 1);
    const auto unscriptable = [](const std::wstring& name) {
        return NumberedError(kErrorNotScriptable,
                             L"A name holds a line break, which an undo file cannot carry: " + name);
    };
    if (!RegScriptWriter::Carries(newName)) throw unscriptable(parent + L"\\" + newName);
    SaveLine(Kind::kComment, RenameMarkLine({true, parent, newName, oldName}));
    SaveLine(Kind::kRemovedKey, FullKeyName(rootName, finalKeyPath));
    std::wstring currentKey;
    SubtreeVisit visit;
    visit.key = [&](const std::wstring& path) {
        currentKey = FullKeyName(rootName, path);
        if (!RegScriptWriter::Carries(currentKey)) throw unscriptable(currentKey);
        SaveLine(Kind::kKey, currentKey);
    };
    visit.value = [&](const std::wstring& name, std::uint32_t type, std::span<const std::uint8_t> data) {
        if (!RegScriptWriter::Carries(name)) throw unscriptable(currentKey + L"\\" + name);
        SaveValue(currentKey, name, true, type, data);
    };
    std::wstring failedAt;
    if (const Status status = VisitSubtree(registry_, root, keyPath, visit, failedAt); status != status::kSuccess)
        throw NumberedError(kErrorKeyUnreadable + static_cast<std::int32_t>(status),
                            L"Could not read the registry key to keep for undo: " + FullKeyName(rootName, failedAt));
    SaveLine(Kind::kComment, std::wstring(kRenamedKeyEnd));
}

void UndoSnapshot::CaptureCreatedKeys(KeyHandle root, const std::wstring& keyPath) {
    // The first missing key on the path and every key below it are what
    // the write creates; the script removes each of them. A key on the way
    // that exists but cannot be opened is not missing: it holds no value the
    // write changes, and removing it would lose what it holds.
    const std::wstring rootName = rootName_(root);
    bool missing = false;
    for (std::size_t slash = keyPath.find(L'\\');; slash = keyPath.find(L'\\', slash + 1)) {
        const std::wstring prefix = keyPath.substr(0, slash);
        if (!missing) {
            KeyHandle key = 0;
            const Status opened = registry_.OpenKey(root, prefix, key);
            if (opened == status::kSuccess) AdoptKey(registry_, key).reset();
            missing = opened == status::kNotFound;
        }
        if (missing) {
            std::wstring full = FullKeyName(rootName, prefix);
            if (created_.insert(full).second) createdKeys_.push_back(std::move(full));
        }
        if (slash == std::wstring::npos) break;
    }
}

std::wstring UndoSnapshot::Script() const {
    RegScriptWriter script;
    AppendTo(script);
    return script.Finish();
}

void UndoSnapshot::AppendTo(RegScriptWriter& script, const Flush& flush) const {
    // Each key's section holds its values captured one after another.
    std::wstring section;
    bool first = true;
    for (std::uint64_t at = 0, next = 0; at < saved_.End(); at = next) {
        RecordReader saved(saved_.Read(at, next));
        const auto kind = static_cast<Kind>(saved.U32());
        if (kind != Kind::kValue) {
            const std::wstring text = saved.Text();
            if (kind == Kind::kComment) script.Comment(text);
            if (kind == Kind::kRemovedKey) script.RemovedKey(text);
            if (kind == Kind::kKey) script.Key(text);
            // A value after it names its key again; one after a key's own line is in it.
            first = kind != Kind::kKey;
            section = text;
            continue;
        }
        const std::wstring key = saved.Text();
        const std::wstring name = saved.Text();
        const bool existed = saved.U32() != 0;
        const std::uint32_t type = saved.U32();
        const std::vector<std::uint8_t> data = saved.Bytes();
        if (first || key != section) script.Key(key);
        first = false;
        section = key;
        if (existed)
            script.Value(name, type, data);
        else
            script.RemovedValue(name);
        if (flush && script.Size() >= (std::size_t{1} << 20)) flush(script.Take());
    }
    // Deeper keys first, so that each removal finds its key still there.
    std::vector<std::pair<std::ptrdiff_t, const std::wstring*>> created;
    created.reserve(createdKeys_.size());
    for (const auto& key : createdKeys_) created.emplace_back(std::count(key.begin(), key.end(), L'\\'), &key);
    std::stable_sort(created.begin(), created.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& entry : created) script.RemovedKey(*entry.second);
}

}  // namespace keyscour
