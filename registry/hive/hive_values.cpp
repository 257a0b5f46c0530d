// Values as they stand: the hive's, read through hivex, and those this run
// changed, kept until the commit.

#include "registry/hive/hive_registry.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

#include "registry/hive/hive_internal.h"
#include "base/unicode_case.h"

namespace keyscour {

using namespace hive_detail;

std::optional<std::uint16_t> HiveRegistry::SourceFlags(std::size_t cell, std::size_t offset) {
    if (sourceFile_ < 0) sourceFile_ = ::open(Source().c_str(), O_RDONLY | O_CLOEXEC);
    std::uint8_t flags[2] = {};
    if (sourceFile_ < 0 || ::pread(sourceFile_, flags, 2, static_cast<off_t>(cell + offset)) != 2) return std::nullopt;
    return static_cast<std::uint16_t>(flags[0] | flags[1] << 8);
}

// hivex's handle is the cell's file offset; a value record's flags lie 20 bytes in.
std::uint16_t HiveRegistry::ValueFlags(std::size_t value) { return SourceFlags(value, 20).value_or(0); }

bool HiveRegistry::IsTombstone(KeyHandle key, std::uint32_t index) {
    const Node node = NodeOf(key);
    if (!node) return false;
    const ValueView view = ViewOf(node);
    if (!view.Readable() || index >= view.Count()) return false;
    const EditedValue* edited = nullptr;
    const std::size_t value = view.At(index, edited);
    return value && (ValueFlags(value) & kTombstone) != 0;
}

bool HiveRegistry::ReadHiveValue(std::size_t value, std::uint32_t& type, std::unique_ptr<char, void (*)(void*)>& data,
                                 std::size_t& length) {
    hive_type t{};
    length = 0;
    errno = 0;
    data.reset(hivex_value_value(hive_, value, &t, &length));
    if (data) {
        type = TypeNumber(t);
        return true;
    }
    // hivex follows the data offset even when the size is 0.
    if (hivex_value_type(hive_, value, &t, &length) != 0 || length != 0) return false;
    type = TypeNumber(t);
    data.reset(static_cast<char*>(std::malloc(1)));
    return data != nullptr;
}

HiveRegistry::EditedKey* HiveRegistry::EditedOf(Node node) {
    if (const auto it = edited_.find(node); it != edited_.end()) return &it->second;
    // The names FindValue has just read, when it has: they are not read twice.
    const bool namesRead = valueNamesOf_ == node && values_.node == node;
    if (!namesRead && ReadValueNames(node) != status::kSuccess) return nullptr;
    EditedKey key;
    key.originals = values_.handles;
    for (std::size_t i = 0; i < key.originals.size(); ++i) {
        EditedValue value;
        value.original = key.originals[i];
        value.name8 = valueNames_[i];
        key.values.push_back(std::move(value));
    }
    return &edited_.emplace(node, std::move(key)).first->second;
}

HiveRegistry::ValueView HiveRegistry::ViewOf(Node node) {
    // Nearly always nothing is edited: a walk's reads go straight to hivex's.
    if (!edited_.empty())
        if (const auto it = edited_.find(node); it != edited_.end()) return {&it->second, nullptr};
    return {nullptr, ValuesOf(node)};
}

std::size_t HiveRegistry::ValueView::At(std::size_t index, const EditedValue*& changed) const {
    changed = nullptr;
    if (!edited) return hive->handles[index];
    const EditedValue& value = edited->values[index];
    if (value.changed) changed = &value;
    return value.original;
}

Status HiveRegistry::QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) {
    fileTime = 0;
    const Node node = NodeOf(key);
    if (node == 0) return status::kInvalidHandle;
    const std::int64_t stamp = hivex_node_timestamp(hive_, node);
    if (stamp < 0) return status::kFileCorrupt;
    fileTime = static_cast<std::uint64_t>(stamp);
    return status::kSuccess;
}

Status HiveRegistry::QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) {
    const Node node = NodeOf(key);
    if (node == 0) return status::kInvalidHandle;
    const ValueView view = ViewOf(node);
    if (!view.Readable()) return status::kFileCorrupt;
    longestNameChars = largestDataBytes = 0;
    for (std::size_t i = 0, count = view.Count(); i < count; ++i) {
        const EditedValue* edited = nullptr;
        const std::size_t value = view.At(i, edited);
        if (edited) {  // every value added is one
            longestNameChars = std::max(longestNameChars, static_cast<std::uint32_t>(edited->name8.size()));
            largestDataBytes = std::max(largestDataBytes, static_cast<std::uint32_t>(edited->data.size()));
            continue;
        }
        longestNameChars = std::max(longestNameChars, static_cast<std::uint32_t>(hivex_value_key_len(hive_, value)));
        hive_type type{};
        std::size_t length = 0;
        if (hivex_value_type(hive_, value, &type, &length) == 0)
            largestDataBytes = std::max(largestDataBytes, static_cast<std::uint32_t>(length));
    }
    return status::kSuccess;
}

const HiveRegistry::Values* HiveRegistry::ValuesOf(Node node) {
    if (values_.node == node) return &values_;
    errno = 0;
    const malloced<hive_value_h> list(hivex_node_values(hive_, node));
    if (!list) {
        NoteDamage(L"the value list of the key at " + Hex(node) + L" cannot be read (" + ErrnoText(errno) + L")");
        values_.node = 0;
        return nullptr;
    }
    values_.node = node;
    values_.handles.clear();
    for (const hive_value_h* value = list.get(); *value; ++value) values_.handles.push_back(*value);
    return &values_;
}

Status HiveRegistry::ReadValueNames(Node node) {
    valueNames_.clear();
    valueNamesOf_ = 0;
    if (const auto it = edited_.find(node); it != edited_.end()) {
        for (const auto& value : it->second.values) valueNames_.push_back(value.name8);
        return status::kSuccess;
    }
    const Values* values = ValuesOf(node);
    if (!values) return status::kFileCorrupt;
    for (const std::size_t value : values->handles) {
        errno = 0;
        const malloced<char> key8(hivex_value_key(hive_, value));
        if (!key8) return StatusOfErrno(errno);
        if (hivex_value_key_len(hive_, value) != std::strlen(key8.get())) {
            NoteDamage(L"the key at " + Hex(node) +
                       L" holds a value whose name goes on past a NUL, which a path cannot name; the key is left as it is");
            return status::kFileCorrupt;
        }
        valueNames_.emplace_back(key8.get());
    }
    valueNamesOf_ = node;
    return status::kSuccess;
}

std::size_t HiveRegistry::FindValue(Node node, std::wstring_view name, Status& status) {
    status = ReadValueNames(node);
    if (status != status::kSuccess) return std::string::npos;
    const std::wstring folded = UpperCased(name);
    for (std::size_t i = 0; i < valueNames_.size(); ++i)
        if (UpperCased(FromUtf8(valueNames_[i])) == folded) return i;
    status = status::kNotFound;
    return std::string::npos;
}

Status HiveRegistry::EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                               std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) {
    const Node node = NodeOf(key);
    if (!node) return status::kInvalidHandle;
    const ValueView view = ViewOf(node);
    if (!view.Readable()) return status::kFileCorrupt;
    if (index >= view.Count()) return status::kNoMoreItems;
    const EditedValue* edited = nullptr;
    const hive_value_h value = view.At(index, edited);

    const char* dataBytesRead = nullptr;
    std::size_t length = 0;
    if (edited) {
        dataBytesRead = reinterpret_cast<const char*>(edited->data.data());
        length = edited->data.size();
        type = edited->type;
    } else {
        // A retry with a larger buffer takes the data read the first time.
        if (lastValue_ != value) {
            lastValue_ = 0;
            if (!ReadHiveValue(value, lastType_, lastData_, lastLength_)) {
                NoteDamage(L"the data of the value at " + Hex(value) + L" cannot be read (" + ErrnoText(errno) + L")");
                return status::kFileCorrupt;
            }
            lastValue_ = value;
        }
        dataBytesRead = lastData_.get();
        length = lastLength_;
    }
    if (name) {
        std::size_t nameLength = 0;
        std::size_t ascii = std::string::npos;
        malloced<char> key8;
        if (edited) {
            FromUtf8(edited->name8, name_);
            nameLength = name_.size();
        } else {
            errno = 0;
            key8.reset(hivex_value_key(hive_, value));
            if (!key8) {
                NoteDamage(L"the name of the value at " + Hex(value) + L" cannot be read (" + ErrnoText(errno) + L")");
                return status::kFileCorrupt;
            }
            // The name as far as a NUL, if it holds one, as a walk of the
            // registry takes it; hivex's own length would convert every
            // name once more. Writes to a key with such a name are refused
            // (ReadValueNames). ASCII, as nearly every name is, goes
            // straight into the buffer.
            ascii = PlainAsciiLength(key8.get());
            if (ascii == std::string::npos) FromUtf8(key8.get(), name_);
            nameLength = ascii != std::string::npos ? ascii : name_.size();
        }
        if (nameLength + 1 > nameChars) return status::kMoreData;
        if (length > dataBytes) {
            dataBytes = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
            return status::kMoreData;
        }
        if (ascii != std::string::npos)
            std::copy(key8.get(), key8.get() + ascii, name);
        else
            std::copy(name_.begin(), name_.end(), name);
        name[nameLength] = L'\0';
        nameChars = static_cast<std::uint32_t>(nameLength);
    } else if (length > dataBytes) {
        dataBytes = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
        return status::kMoreData;
    }
    if (!edited) type = lastType_;
    if (length) std::memcpy(data, dataBytesRead, length);
    dataBytes = static_cast<std::uint32_t>(length);
    return status::kSuccess;
}

Status HiveRegistry::QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                                std::vector<std::uint8_t>& data) {
    const Node node = NodeOf(key);
    if (!node) return status::kInvalidHandle;
    // What is read here is kept to undo a write: a key that is never
    // written is refused now (FindValue), before anything is.
    Status found = status::kSuccess;
    const std::size_t at = FindValue(node, name, found);
    if (at == std::string::npos) return found;
    const EditedValue* edited = nullptr;
    const hive_value_h value = ViewOf(node).At(at, edited);
    if (edited) {
        type = edited->type;
        data = edited->data;
        return status::kSuccess;
    }
    std::unique_ptr<char, void (*)(void*)> read{nullptr, &std::free};
    std::size_t length = 0;
    if (!ReadHiveValue(value, type, read, length)) return StatusOfErrno(errno);
    data.assign(read.get(), read.get() + length);
    return status::kSuccess;
}

}  // namespace keyscour
