#include "bench/synthetic_tree.h"

#include <stdexcept>
#include <vector>

#include "base/utf16.h"

namespace keyscour::bench {

namespace {

bool IsHit(std::uint64_t key, double share) {
    // Spreads the hits evenly: key i is a hit when floor(i * share) steps up.
    return static_cast<std::uint64_t>(key * share) != static_cast<std::uint64_t>((key - 1) * share);
}

void Check(Status status, const char* what) {
    if (status != status::kSuccess) throw std::runtime_error(std::string(what) + " failed, status " + std::to_string(status));
}

}  // namespace

void BuildTree(Registry& registry, KeyHandle root, const std::wstring& start, const TreeShape& shape) {
    std::vector<std::wstring> paths;
    paths.reserve(shape.keys + 1);
    paths.push_back(start);
    for (std::uint64_t i = 1; i <= shape.keys; ++i) {
        const std::wstring& parent = paths[(i - 1) / shape.fanout];
        const bool leaf = i > (shape.keys - 1) / shape.fanout;
        const bool namedHit = leaf && IsHit(i, shape.leafNameHits);
        paths.push_back((parent.empty() ? L"" : parent + L"\\") + (namedHit ? kNeedle : L"Key") + L" " +
                        std::to_wstring(i));

        KeyHandle key = 0;
        Check(registry.CreateKey(root, paths.back(), key), "create");
        const auto closer = AdoptKey(registry, key);
        for (std::uint32_t v = 0; v < shape.values; ++v) {
            // Hit and miss texts have the same length, so both trees weigh the same.
            const bool hit = v == 0 && IsHit(i, shape.hits);
            auto data = EncodeUtf16Le(L"C:\\Data\\" + std::wstring(hit ? kNeedle : L"nothin") + L"\\" +
                                      std::to_wstring(i) + L"\\file" + std::to_wstring(v) + L".txt");
            data.insert(data.end(), {0, 0});
            const bool valueNamed = v == 1 && IsHit(i, shape.valueNameHits);
            Check(registry.SetValue(key, (valueNamed ? kNeedle : L"Value") + L" " + std::to_wstring(v), 1, data.data(),
                                    static_cast<std::uint32_t>(data.size())),
                  "set value");
        }
    }
}

}  // namespace keyscour::bench
