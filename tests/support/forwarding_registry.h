#pragma once
// Wrappers over another registry that watch or disturb its calls, for tests:
// one records every call and counts the handles left open, one makes the
// n-th call of an operation fail or throw.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace keyscour {

enum class RegistryOp {
    kOpenKey,
    kEnumKey,
    kEnumValue,
    kCreateKey,
    kSetValue,
    kCloseKey,
    kQueryValue,
    kDeleteKey,
    kDeleteValue,
    kRenameValue,
    kRenameKey
};

struct RegistryCall {
    RegistryOp op;
    KeyHandle key = 0;      // root, base or handle the call was given
    std::wstring text;      // path, or value name for kSetValue, kQueryValue, kDeleteValue and kRenameValue
    std::uint32_t index = 0;
    Status status = 0;
    KeyHandle opened = 0;   // handle returned by kOpenKey and kCreateKey
};

class ForwardingRegistry : public Registry {
public:
    explicit ForwardingRegistry(Registry& inner) : inner_(inner) {}

    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override;
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name,
                   std::uint32_t nameChars) override;
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) override;
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override;
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                    const std::uint8_t* data, std::uint32_t dataBytes) override;
    Status CloseKey(KeyHandle key) override;
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                      std::vector<std::uint8_t>& data) override;
    Status DeleteKey(KeyHandle base, const std::wstring& path) override;
    Status DeleteValue(KeyHandle key, const std::wstring& name) override;
    Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) override {
        return inner_.QueryValueLimits(key, longestNameChars, largestDataBytes);
    }
    bool IsTombstone(KeyHandle key, std::uint32_t index) override { return inner_.IsTombstone(key, index); }
    Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) override;
    Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) override;
    Status QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) override {
        return inner_.QueryKeyKind(root, path, kind);
    }
    Status QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) override { return inner_.QueryKeyTime(key, fileTime); }

protected:
    Registry& Inner() { return inner_; }
    // A status here replaces the call; the inner registry is not reached.
    virtual std::optional<Status> Before(RegistryOp) { return std::nullopt; }
    virtual void After(const RegistryCall&) {}

private:
    template <typename Call>
    Status Forward(RegistryCall call, KeyHandle* out, Call&& inner);

    Registry& inner_;
};

class RecordingRegistry final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;

    const std::vector<RegistryCall>& Calls() const { return calls_; }
    std::size_t CountOf(RegistryOp op) const;
    // Successful opens and creates minus successful closes of those handles.
    long OpenHandles() const { return openHandles_; }
    void Clear() { calls_.clear(); }

private:
    void After(const RegistryCall& call) override;

    std::vector<RegistryCall> calls_;
    long openHandles_ = 0;
};

class FaultyRegistry final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;

    // The n-th call (1-based) of op returns the status without reaching the registry.
    void FailNth(RegistryOp op, int n, Status status);
    // The n-th call of op throws std::bad_alloc, as exhausted memory would.
    void ThrowNth(RegistryOp op, int n);

private:
    struct Fault {
        int n;
        std::optional<Status> status;  // none: throw
    };
    std::optional<Status> Before(RegistryOp op) override;

    std::map<RegistryOp, std::vector<Fault>> faults_;
    std::map<RegistryOp, int> counts_;
};

}  // namespace keyscour
