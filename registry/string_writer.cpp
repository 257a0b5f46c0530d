#include "registry/string_writer.h"

#include <exception>
#include <optional>

#include "base/utf16.h"

namespace keyscour::MRegistry {

namespace {

std::wstring TrimSpaces(const std::wstring& text) {
    const auto first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

NumberedError StatusError(Status status, const wchar_t* description) {
    return NumberedError(kErrorRegistryStatus + static_cast<std::int32_t>(status), description);
}

std::optional<NumberedError> Resolve(const std::wstring& sSection, std::size_t slash, ValuePath& path) {
    if (TrimSpaces(sSection).empty()) return NumberedError(kErrorSectionEmpty, L"Section may not be empty");
    if (slash >= sSection.size() || sSection[slash] != L'\\')
        return NumberedError(kErrorInvalidArgument, L"Invalid procedure call or argument");
    std::wstring valueName = sSection.substr(slash + 1);
    if (TrimSpaces(valueName).empty()) return NumberedError(kErrorKeyEmpty, L"Key may not be empty");

    path.keyPath = TrimSpaces(sSection.substr(0, slash));
    path.valueName = std::move(valueName);
    return std::nullopt;
}

}  // namespace

std::optional<NumberedError> ResolveValuePath(const std::wstring& sSection, ValuePath& path) {
    return Resolve(sSection, sSection.rfind(L'\\'), path);
}

std::optional<NumberedError> ResolveValuePath(const std::wstring& sSection, std::size_t keyPathLength,
                                              ValuePath& path) {
    return Resolve(sSection, keyPathLength, path);
}

namespace {

// Runs the checks, the create and the set; returns the first failure. The
// key handle stays with the caller so that it is closed on every path.
std::optional<NumberedError> Store(Registry& registry, std::int32_t lBaseKey, const std::wstring& sSection,
                                   std::size_t slash, const std::wstring& sData, KeyHandle& key) {
    ValuePath path;
    if (auto invalid = Resolve(sSection, slash, path)) return invalid;

    KeyHandle opened = 0;
    if (const Status s = registry.CreateKey(static_cast<KeyHandle>(lBaseKey), path.keyPath, opened);
        s != status::kSuccess)
        return StatusError(s, L"Could not open/create registry section");
    key = opened;

    // The count leaves the terminator out, as the writer always has; the
    // platform then looks one character past the count for a NUL to add, so
    // the buffer carries one and that look stays inside it.
    auto bytes = EncodeUtf16Le(sData);
    const auto count = static_cast<std::uint32_t>(bytes.size());
    bytes.insert(bytes.end(), {0, 0});
    if (const Status s = registry.SetValue(key, path.valueName, 1, bytes.data(), count);
        s != status::kSuccess)
        return StatusError(s, L"Could not set key value");
    return std::nullopt;
}

}  // namespace

void WriteStringValue(Registry& registry, std::int32_t lBaseKey, const std::wstring& sSection,
                      const std::wstring& sData) {
    WriteStringValue(registry, lBaseKey, sSection, sSection.rfind(L'\\'), sData);
}

namespace {

// Runs store, then closes the key it opened on every path, with 0 when the
// create did not succeed; a failure leaves as its error.
template <typename Store>
void WithKeyClosed(Registry& registry, Store&& store) {
    KeyHandle key = 0;
    std::optional<NumberedError> error;
    std::exception_ptr unexpected;  // exhausted memory, a throwing registry
    try {
        error = store(key);
    } catch (...) {
        unexpected = std::current_exception();
    }
    try {
        registry.CloseKey(key);
    } catch (...) {
    }
    if (unexpected) std::rethrow_exception(unexpected);
    if (error) throw *error;
}

}  // namespace

void WriteStringValue(Registry& registry, std::int32_t lBaseKey, const std::wstring& sSection,
                      std::size_t keyPathLength, const std::wstring& sData) {
    WithKeyClosed(registry, [&](KeyHandle& key) { return Store(registry, lBaseKey, sSection, keyPathLength, sData, key); });
}

void WriteValue(Registry& registry, const ValueAddress& where, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    WithKeyClosed(registry, [&](KeyHandle& key) -> std::optional<NumberedError> {
        if (const Status s = registry.CreateKey(where.root, where.keyPath, key); s != status::kSuccess) {
            key = 0;
            return StatusError(s, L"Could not open/create registry section");
        }
        if (const Status s =
                registry.SetValue(key, where.valueName, type, data.data(), static_cast<std::uint32_t>(data.size()));
            s != status::kSuccess)
            return StatusError(s, L"Could not set key value");
        return std::nullopt;
    });
}

void RenameValue(Registry& registry, const ValueAddress& where, const std::wstring& newName) {
    WithKeyClosed(registry, [&](KeyHandle& key) -> std::optional<NumberedError> {
        // Opened for writing; a key gone since the walk is not made again.
        if (const Status s = registry.OpenKey(where.root, where.keyPath, key); s != status::kSuccess) {
            key = 0;
            return StatusError(s, L"Could not open registry section");
        }
        registry.CloseKey(key);
        if (const Status s = registry.CreateKey(where.root, where.keyPath, key); s != status::kSuccess) {
            key = 0;
            return StatusError(s, L"Could not open registry section");
        }
        if (const Status s = registry.RenameValue(key, where.valueName, newName); s != status::kSuccess)
            return StatusError(s, L"Could not rename the value");
        return std::nullopt;
    });
}

void RenameKey(Registry& registry, KeyHandle root, const std::wstring& keyPath, const std::wstring& newName) {
    if (const Status s = registry.RenameKey(root, keyPath, newName); s != status::kSuccess)
        throw StatusError(s, L"Could not rename the key");
}

}  // namespace keyscour::MRegistry
