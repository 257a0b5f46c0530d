#include "output/progress.h"

#include <cstdio>
#include <string>

namespace keyscour::output {

void Progress::Key(std::wstring_view fullKey, std::uint64_t keys, std::uint64_t hits) {
    // The clock once in 64 keys: a walk meets a million.
    if (!enabled_ || keys % 64 != 0) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    wchar_t head[96];
    std::swprintf(head, 96, L"%llu keys, %llu hits, %.0f keys/s  ", static_cast<unsigned long long>(keys),
                  static_cast<unsigned long long>(hits), seconds > 0 ? keys / seconds : 0.0);
    std::wstring line = head;
    const std::size_t width = static_cast<std::size_t>(errors_.Width() > 20 ? errors_.Width() - 1 : 79);
    if (line.size() + fullKey.size() > width && width > line.size() + 1)
        line.append(L"\u2026").append(fullKey.substr(fullKey.size() - (width - line.size() - 1)));
    else
        line.append(fullKey);
    for (auto& c : line)
        if (c < 0x20) c = L' ';
    line.resize(std::max(line.size(), width), L' ');
    errors_.Text(L"\r" + line.substr(0, width) + L"\r");
    shown_ = true;
}

void Progress::Clear() {
    if (!shown_) return;
    const std::size_t width = static_cast<std::size_t>(errors_.Width() > 20 ? errors_.Width() - 1 : 79);
    errors_.Text(L"\r" + std::wstring(width, L' ') + L"\r");
    shown_ = false;
}

}  // namespace keyscour::output
