#include "tests/support/forwarding_registry.h"

#include <new>

#include "registry/root_keys.h"

namespace keyscour {

template <typename Call>
Status ForwardingRegistry::Forward(RegistryCall call, KeyHandle* out, Call&& inner) {
    if (auto replaced = Before(call.op)) {
        if (out) *out = 0;
        call.status = *replaced;
    } else {
        call.status = inner();
    }
    if (out) call.opened = *out;
    After(call);
    return call.status;
}

Status ForwardingRegistry::OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) {
    return Forward({RegistryOp::kOpenKey, root, path}, &key,
                   [&] { return inner_.OpenKey(root, path, key); });
}

Status ForwardingRegistry::EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    return Forward({RegistryOp::kEnumKey, key, {}, index}, nullptr,
                   [&] { return inner_.EnumKey(key, index, name, nameChars); });
}

Status ForwardingRegistry::EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) {
    return Forward({RegistryOp::kEnumValue, key, {}, index}, nullptr,
                   [&] { return inner_.EnumValue(key, index, name, nameChars, type, data, dataBytes); });
}

Status ForwardingRegistry::CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) {
    return Forward({RegistryOp::kCreateKey, base, path}, &key,
                   [&] { return inner_.CreateKey(base, path, key); });
}

Status ForwardingRegistry::SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                                    const std::uint8_t* data, std::uint32_t dataBytes) {
    return Forward({RegistryOp::kSetValue, key, name}, nullptr,
                   [&] { return inner_.SetValue(key, name, type, data, dataBytes); });
}

Status ForwardingRegistry::CloseKey(KeyHandle key) {
    return Forward({RegistryOp::kCloseKey, key, {}, 0}, nullptr, [&] { return inner_.CloseKey(key); });
}

Status ForwardingRegistry::QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                                      std::vector<std::uint8_t>& data) {
    return Forward({RegistryOp::kQueryValue, key, name}, nullptr,
                   [&] { return inner_.QueryValue(key, name, type, data); });
}

Status ForwardingRegistry::DeleteKey(KeyHandle base, const std::wstring& path) {
    return Forward({RegistryOp::kDeleteKey, base, path}, nullptr, [&] { return inner_.DeleteKey(base, path); });
}

Status ForwardingRegistry::DeleteValue(KeyHandle key, const std::wstring& name) {
    return Forward({RegistryOp::kDeleteValue, key, name}, nullptr, [&] { return inner_.DeleteValue(key, name); });
}

Status ForwardingRegistry::RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) {
    return Forward({RegistryOp::kRenameValue, key, name}, nullptr, [&] { return inner_.RenameValue(key, name, newName); });
}

Status ForwardingRegistry::RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) {
    return Forward({RegistryOp::kRenameKey, base, path}, nullptr, [&] { return inner_.RenameKey(base, path, newName); });
}

std::size_t RecordingRegistry::CountOf(RegistryOp op) const {
    std::size_t count = 0;
    for (const auto& call : calls_) count += call.op == op;
    return count;
}

void RecordingRegistry::After(const RegistryCall& call) {
    calls_.push_back(call);
    if (call.status != status::kSuccess) return;
    if (call.op == RegistryOp::kOpenKey || call.op == RegistryOp::kCreateKey) ++openHandles_;
    if (call.op == RegistryOp::kCloseKey && !IsPredefinedRoot(call.key)) --openHandles_;
}

void FaultyRegistry::FailNth(RegistryOp op, int n, Status status) { faults_[op].push_back({n, status}); }

void FaultyRegistry::ThrowNth(RegistryOp op, int n) { faults_[op].push_back({n, std::nullopt}); }

std::optional<Status> FaultyRegistry::Before(RegistryOp op) {
    const int n = ++counts_[op];
    for (const auto& fault : faults_[op]) {
        if (fault.n != n) continue;
        if (!fault.status) throw std::bad_alloc();
        return fault.status;
    }
    return std::nullopt;
}

}  // namespace keyscour
