#include "tests/support/hive_structure.h"

#include <hivex.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string_view>

#include "base/unicode_case.h"
#include "base/utf8.h"

namespace keyscour::testing {

namespace {

constexpr std::size_t kBase = 4096;

class Checker {
public:
    explicit Checker(const std::vector<std::uint8_t>& hive) : hive_(hive) {}

    std::vector<std::string> Run() {
        if (hive_.size() < kBase + 32 || std::memcmp(hive_.data(), "regf", 4) != 0) return {"not a hive"};
        binsEnd_ = kBase + static_cast<std::size_t>(U32File(0x28));
        if (binsEnd_ > hive_.size()) return {"the bins run past the file"};
        const std::uint32_t root = U32File(0x24);
        if (!Record(root, "nk", 0x4C)) return {"the root cell is no key node"};
        if (!(U16(root + 2) & 0x0004)) Fault("", "the root key lacks its hive-entry flag");
        Walk(root, "");
        for (const auto& [sk, referenced] : references_) {
            if (!Record(sk, "sk", 0x14)) {
                Fault("", "a key names security cell " + std::to_string(sk) + ", which is none");
                continue;
            }
            const std::uint32_t count = U32(sk + 0x0C);
            if (count != referenced)
                Fault("", "security cell " + std::to_string(sk) + " counts " + std::to_string(count) +
                              " references, the keys make " + std::to_string(referenced));
        }
        return faults_;
    }

private:
    std::uint32_t U32File(std::size_t at) const {
        std::uint32_t value = 0;
        std::memcpy(&value, hive_.data() + at, 4);
        return value;
    }
    bool InBins(std::uint32_t cell, std::size_t bytes) const {
        return kBase + std::size_t{cell} + 4 + bytes <= binsEnd_;
    }
    // Offsets into a cell's data, past its size field.
    std::uint32_t U32(std::uint32_t at) const { return U32File(kBase + 4 + std::size_t{at}); }
    std::uint16_t U16(std::uint32_t at) const {
        std::uint16_t value = 0;
        std::memcpy(&value, hive_.data() + kBase + 4 + at, 2);
        return value;
    }
    const std::uint8_t* Data(std::uint32_t cell) const { return hive_.data() + kBase + 4 + cell; }
    // An allocated cell whose data starts with signature and holds bytes.
    bool Record(std::uint32_t cell, const char* signature, std::size_t bytes) const {
        if (cell == 0xFFFFFFFFu || !InBins(cell, bytes)) return false;
        std::int32_t size = 0;
        std::memcpy(&size, hive_.data() + kBase + cell, 4);
        if (size >= 0 || static_cast<std::size_t>(-static_cast<std::int64_t>(size)) < bytes + 4) return false;
        return std::memcmp(Data(cell), signature, 2) == 0;
    }
    void Fault(const std::string& path, const std::string& what) {
        faults_.push_back((path.empty() ? std::string("(root)") : path) + ": " + what);
    }
    std::u16string Name(std::uint32_t nameAt, std::size_t length, bool compressed) const {
        std::u16string name;
        const std::uint8_t* bytes = Data(nameAt);
        if (compressed) {
            for (std::size_t i = 0; i < length; ++i) name += static_cast<char16_t>(bytes[i]);
        } else {
            for (std::size_t i = 0; i + 1 < length; i += 2) name += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        }
        return name;
    }
    std::u16string KeyName(std::uint32_t nk) const {
        const std::uint16_t length = U16(nk + 0x48);
        if (!InBins(nk, 0x4C + std::size_t{length})) return u"?";
        return Name(nk + 0x4C, length, (U16(nk + 2) & 0x0020) != 0);
    }
    static std::string Utf8(std::u16string_view name) {
        return ToUtf8(std::wstring(name.begin(), name.end()));
    }
    static std::u16string Upper(std::u16string_view name) {
        std::u16string upper;
        for (char16_t unit : name) upper += static_cast<char16_t>(UpperCaseOf(static_cast<wchar_t>(unit)));
        return upper;
    }

    // The leaves of a sub key list, "ri" resolved; false when it is no list.
    bool Leaves(std::uint32_t list, const std::string& path, std::vector<std::uint32_t>& leaves) {
        if (Record(list, "ri", 4)) {
            const std::uint16_t count = U16(list + 2);
            if (!InBins(list, 4 + 4 * std::size_t{count})) return false;
            for (std::uint16_t i = 0; i < count; ++i) {
                const std::uint32_t leaf = U32(list + 4 + 4 * i);
                if (Record(leaf, "ri", 4)) Fault(path, "an \"ri\" index names another \"ri\"");
                else leaves.push_back(leaf);
            }
            return true;
        }
        leaves.push_back(list);
        return true;
    }

    void Walk(std::uint32_t nk, const std::string& path) {
        std::vector<std::pair<std::uint32_t, std::string>> stack{{nk, path}};
        while (!stack.empty()) {
            const auto [key, where] = stack.back();
            stack.pop_back();
            if (!visited_.insert({key, true}).second) {
                Fault(where, "reached twice");
                continue;
            }
            ++references_[U32(key + 0x2C)];
            CheckValues(key, where);
            for (const std::uint32_t child : CheckSubKeys(key, where)) {
                const std::string name = Utf8(KeyName(child));
                stack.push_back({child, where.empty() ? name : where + "\\" + name});
            }
        }
    }

    void CheckValues(std::uint32_t nk, const std::string& path) {
        const std::uint32_t count = U32(nk + 0x24);
        if (count == 0) return;
        const std::uint32_t list = U32(nk + 0x28);
        if (!InBins(list, 4 * std::size_t{count})) return Fault(path, "its value list lies outside the bins");
        std::uint32_t longestName = 0, largestData = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t vk = U32(list + 4 * i);
            if (!Record(vk, "vk", 0x14)) {
                Fault(path, "value " + std::to_string(i) + " is no value record");
                continue;
            }
            const std::uint16_t nameLength = U16(vk + 2);
            const bool compressed = (U16(vk + 0x10) & 0x0001) != 0;
            longestName = std::max<std::uint32_t>(longestName, compressed ? 2u * nameLength : nameLength);
            largestData = std::max<std::uint32_t>(largestData, U32(vk + 4) & 0x7FFFFFFFu);
        }
        if (U32(nk + 0x3C) < longestName)
            Fault(path, "its longest value name field " + std::to_string(U32(nk + 0x3C)) + " is below " +
                            std::to_string(longestName));
        if (U32(nk + 0x40) < largestData)
            Fault(path, "its largest value data field " + std::to_string(U32(nk + 0x40)) + " is below " +
                            std::to_string(largestData));
    }

    std::vector<std::uint32_t> CheckSubKeys(std::uint32_t nk, const std::string& path) {
        std::vector<std::uint32_t> children;
        const std::uint32_t count = U32(nk + 0x14);
        if (count == 0) return children;
        std::vector<std::uint32_t> leaves;
        Leaves(U32(nk + 0x1C), path, leaves);
        std::u16string previous;
        std::uint32_t longestName = 0, longestClass = 0;
        for (const std::uint32_t leaf : leaves) {
            const bool lf = Record(leaf, "lf", 4), lh = Record(leaf, "lh", 4), li = Record(leaf, "li", 4);
            if (!lf && !lh && !li) {
                Fault(path, "its sub key list " + std::to_string(leaf) + " is no list");
                continue;
            }
            const std::uint16_t elements = U16(leaf + 2);
            const std::size_t width = li ? 4 : 8;
            if (!InBins(leaf, 4 + width * elements)) {
                Fault(path, "its sub key list runs out of the bins");
                continue;
            }
            for (std::uint16_t i = 0; i < elements; ++i) {
                const std::uint32_t child = U32(leaf + 4 + static_cast<std::uint32_t>(width * i));
                if (!Record(child, "nk", 0x4C)) {
                    Fault(path, "a sub key list element is no key node");
                    continue;
                }
                const std::u16string name = KeyName(child);
                const std::string childPath = (path.empty() ? "" : path + "\\") + Utf8(name);
                if (U32(child + 0x10) != nk) Fault(childPath, "its Parent field names another cell");
                const std::u16string upper = Upper(name);
                if (!children.empty() && !(previous < upper))
                    Fault(childPath, "out of order after " + Utf8(previous) + " (upper-cased)");
                previous = upper;
                if (lh && U32(leaf + 8 + 8 * i) != HashLeafHash(name))
                    Fault(childPath, "its \"lh\" hash is wrong");
                if (lf) {
                    std::uint8_t hint[4] = {};
                    for (std::size_t c = 0; c < 4 && c < name.size(); ++c) hint[c] = static_cast<std::uint8_t>(name[c]);
                    if (std::memcmp(hint, Data(leaf + 8 + 8 * i), 4) != 0) Fault(childPath, "its \"lf\" hint is wrong");
                }
                longestName = std::max<std::uint32_t>(longestName, 2u * static_cast<std::uint32_t>(name.size()));
                longestClass = std::max<std::uint32_t>(longestClass, U16(child + 0x4A));
                children.push_back(child);
            }
        }
        if (children.size() != count)
            Fault(path, "counts " + std::to_string(count) + " sub keys, its lists hold " + std::to_string(children.size()));
        // Only the low 16 bits count the name; the high ones are flags.
        if ((U32(nk + 0x34) & 0xFFFF) < longestName)
            Fault(path, "its longest sub key name field " + std::to_string(U32(nk + 0x34) & 0xFFFF) + " is below " +
                            std::to_string(longestName));
        if (U32(nk + 0x38) < longestClass) Fault(path, "its longest sub key class field is below " + std::to_string(longestClass));
        return children;
    }

    const std::vector<std::uint8_t>& hive_;
    std::size_t binsEnd_ = 0;
    std::vector<std::string> faults_;
    std::map<std::uint32_t, bool> visited_;
    std::map<std::uint32_t, std::uint32_t> references_;  // security cell: keys naming it
};

}  // namespace

std::uint32_t HashLeafHash(std::u16string_view name) {
    std::uint32_t hash = 0;
    for (char16_t unit : name) hash = hash * 37 + static_cast<std::uint16_t>(UpperCaseOf(static_cast<wchar_t>(unit)));
    return hash;
}

std::vector<std::string> HiveStructureFaults(const std::vector<std::uint8_t>& hive) { return Checker(hive).Run(); }

bool SplitIntoIndexRoot(std::vector<std::uint8_t>& hive, std::uint32_t nk) {
    const auto get32 = [&hive](std::size_t at) {
        std::uint32_t value = 0;
        std::memcpy(&value, hive.data() + at, 4);
        return value;
    };
    const auto put32 = [&hive](std::size_t at, std::uint32_t value) { std::memcpy(hive.data() + at, &value, 4); };
    const std::uint32_t list = get32(kBase + 4 + nk + 0x1C);
    if (std::memcmp(hive.data() + kBase + 4 + list, "lh", 2) != 0 || hive[kBase + 4 + list + 2] != 6) return false;
    // A free cell big enough for an ri of two and two lh leaves of three.
    const std::uint32_t bins = get32(0x28);
    std::uint32_t free = 0, freeSize = 0;
    for (std::uint32_t bin = 0; bin < bins && !free;) {
        const std::uint32_t binSize = get32(kBase + bin + 8);
        for (std::uint32_t cell = bin + 32; cell < bin + binSize;) {
            const auto size = static_cast<std::int32_t>(get32(kBase + cell));
            if (size > 0 && size >= 16 + 2 * 32 + 16) {
                free = cell;
                freeSize = static_cast<std::uint32_t>(size);
                break;
            }
            cell += static_cast<std::uint32_t>(size < 0 ? -size : size);
        }
        bin += binSize;
    }
    if (!free) return false;
    const std::uint32_t ri = free, first = free + 16, second = free + 48, rest = free + 80;
    const auto cellAt = [&](std::uint32_t cell, std::uint32_t size) {
        put32(kBase + cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    };
    cellAt(ri, 16);
    std::memcpy(hive.data() + kBase + ri + 4, "ri", 2);
    hive[kBase + ri + 6] = 2;
    hive[kBase + ri + 7] = 0;
    put32(kBase + ri + 8, first);
    put32(kBase + ri + 12, second);
    for (int leafIndex = 0; leafIndex < 2; ++leafIndex) {
        const std::uint32_t leafCell = leafIndex == 0 ? first : second;
        cellAt(leafCell, 32);
        std::memcpy(hive.data() + kBase + leafCell + 4, "lh", 2);
        hive[kBase + leafCell + 6] = 3;
        hive[kBase + leafCell + 7] = 0;
        std::memcpy(hive.data() + kBase + leafCell + 8, hive.data() + kBase + list + 8 + 24 * leafIndex, 24);
    }
    put32(kBase + rest, freeSize - 80);  // what is left stays free
    put32(kBase + 4 + nk + 0x1C, ri);
    return true;
}

namespace {
std::uint32_t Get32Of(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
std::string HexOf(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) (text += digits[data[i] >> 4]) += digits[data[i] & 15];
    return text;
}
}  // namespace

// Everything a key holds as hivex and the raw cells show it, key by key in
// list order: names, values (name, type, data), the security descriptor,
// the class name, and the key node's flags.
std::string HiveDump(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    hive_h* h = hivex_open(path.c_str(), 0);
    if (!h) return "hivex refused it";
    std::string out;
    std::function<void(hive_node_h, const std::string&)> dump = [&](hive_node_h node, const std::string& name) {
        const std::size_t nk = node;  // a file offset
        const std::uint32_t sk = Get32Of(bytes, nk + 4 + 0x2C);
        const std::uint32_t skLength = Get32Of(bytes, kBase + sk + 4 + 0x10);
        const std::uint32_t classCell = Get32Of(bytes, nk + 4 + 0x30);
        const std::size_t classLength = bytes[nk + 4 + 0x4A] | bytes[nk + 4 + 0x4B] << 8;
        out += "key " + name + " flags " + std::to_string(bytes[nk + 6] & ~0x20) + " sk " +
               HexOf(bytes.data() + kBase + sk + 4 + 0x14, skLength) + " class " +
               (classLength ? HexOf(bytes.data() + kBase + classCell + 4, classLength) : "") + "\n";
        if (hive_value_h* values = hivex_node_values(h, node)) {
            for (hive_value_h* value = values; *value; ++value) {
                char* key = hivex_value_key(h, *value);
                hive_type type;
                std::size_t length = 0;
                char* data = hivex_value_value(h, *value, &type, &length);
                out += "  value \"" + std::string(key ? key : "?") + "\" " + std::to_string(type) + " " +
                       HexOf(reinterpret_cast<std::uint8_t*>(data), data ? length : 0) + "\n";
                std::free(key);
                std::free(data);
            }
            std::free(values);
        }
        if (hive_node_h* children = hivex_node_children(h, node)) {
            for (hive_node_h* child = children; *child; ++child) {
                char* childName = hivex_node_name(h, *child);
                dump(*child, name + "\\" + (childName ? childName : "?"));
                std::free(childName);
            }
            std::free(children);
        }
    };
    dump(hivex_root(h), "");
    hivex_close(h);
    return out;
}

}  // namespace keyscour::testing
