#pragma once
// A registry that hands every call on to another as it is: the base of a
// wrapper that changes one call and leaves the others at no cost, as a
// walk over a million keys needs.

#include "registry/registry.h"

namespace keyscour {

class DelegatingRegistry : public Registry {
public:
    explicit DelegatingRegistry(Registry& inner) : inner_(inner) {}

    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override {
        return inner_.OpenKey(root, path, key);
    }
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) override {
        return inner_.EnumKey(key, index, name, nameChars);
    }
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) override {
        return inner_.EnumValue(key, index, name, nameChars, type, data, dataBytes);
    }
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override {
        return inner_.CreateKey(base, path, key);
    }
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type, const std::uint8_t* data,
                    std::uint32_t dataBytes) override {
        return inner_.SetValue(key, name, type, data, dataBytes);
    }
    Status CloseKey(KeyHandle key) override { return inner_.CloseKey(key); }
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                      std::vector<std::uint8_t>& data) override {
        return inner_.QueryValue(key, name, type, data);
    }
    Status DeleteKey(KeyHandle base, const std::wstring& path) override { return inner_.DeleteKey(base, path); }
    Status DeleteValue(KeyHandle key, const std::wstring& name) override { return inner_.DeleteValue(key, name); }

protected:
    Registry& Inner() { return inner_; }

private:
    Registry& inner_;
};

}  // namespace keyscour
