#include "registry/script/reg_script_apply.h"

#include <vector>

namespace keyscour {

namespace {

// First pass: every line read and every key placed, nothing touched.
class Checker final : public RegScriptVisitor {
public:
    explicit Checker(const KeyPlacer& place) : place_(place) {}
    void Key(const std::wstring& fullKey, bool, std::size_t line) override {
        if (!place_(fullKey)) throw RegScriptError{line, L"the key lies outside what may be changed: " + fullKey};
    }
    void Value(const std::wstring&, std::uint32_t, std::vector<std::uint8_t>, std::size_t) override {}
    void RemovedValue(const std::wstring&, std::size_t) override {}

private:
    const KeyPlacer& place_;
};

class Applier final : public RegScriptVisitor {
public:
    Applier(Registry& registry, const KeyPlacer& place) : registry_(registry), place_(place) {}

    void Key(const std::wstring& fullKey, bool remove, std::size_t line) override {
        key_.reset();
        const KeyPlace where = *place_(fullKey);
        if (remove) {
            const Status status = registry_.DeleteKey(where.root, where.path);
            if (status != status::kSuccess && status != status::kNotFound) Fail(line, status, L"remove " + fullKey);
            return;
        }
        KeyHandle key = 0;
        if (const Status status = registry_.CreateKey(where.root, where.path, key); status != status::kSuccess)
            Fail(line, status, L"create " + fullKey);
        key_ = AdoptKey(registry_, key);
    }
    void Value(const std::wstring& name, std::uint32_t type, std::vector<std::uint8_t> data, std::size_t line) override {
        if (!key_) return;  // under a removed key: regedit skips these too
        const Status status = registry_.SetValue(key_.get(), name, type, data.data(), static_cast<std::uint32_t>(data.size()));
        if (status != status::kSuccess) Fail(line, status, L"set the value " + name);
    }
    void RemovedValue(const std::wstring& name, std::size_t line) override {
        if (!key_) return;
        const Status status = registry_.DeleteValue(key_.get(), name);
        if (status != status::kSuccess && status != status::kNotFound) Fail(line, status, L"remove the value " + name);
    }

private:
    [[noreturn]] static void Fail(std::size_t line, Status status, const std::wstring& what) {
        throw RegScriptError{line, L"could not " + what + L" (status " + std::to_wstring(status) + L")"};
    }
    Registry& registry_;
    const KeyPlacer& place_;
    unique_registry_key key_;
};

}  // namespace

void ApplyRegScript(std::wstring_view text, Registry& registry, const KeyPlacer& place,
                    const RegScriptReading& reading, const std::function<void()>& beforeChanges) {
    Checker checker(place);
    ReadRegScript(text, checker, reading);
    if (beforeChanges) beforeChanges();
    // Skipped lines were told on the first pass.
    RegScriptReading again = reading;
    again.skipped = nullptr;
    Applier applier(registry, place);
    ReadRegScript(text, applier, again);
}

}  // namespace keyscour
