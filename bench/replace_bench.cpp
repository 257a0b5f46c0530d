#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "bench/window_benches.h"
#include "bench/window_driving.h"
#include "tests/support/forwarding_registry.h"
#include "registry/string_writer.h"
#include "registry/win32_registry.h"

namespace keyscour::bench {

namespace {

// The span of a command's registry work: its first call to its last.
class SpanClock final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;
    void Reset() { first_.reset(); }
    double Ms() const { return first_ ? MsBetween(*first_, last_) : 0; }

private:
    void After(const RegistryCall&) override {
        last_ = Clock::now();
        if (!first_) first_ = last_;
    }
    std::optional<Clock::time_point> first_;
    Clock::time_point last_{};
};

struct Figures {
    std::uint64_t rows = 0;
    double captureMs = 0, writeMs = 0, replaceMs = 0;
    double Ratio() const { return replaceMs / (captureMs + writeMs); }
};

std::wstring ValuePath(std::uint64_t i) { return L"K" + std::to_wstring(i) + L"\\v"; }

std::optional<Figures> Measure(std::uint64_t rows, const std::wstring& base) {
    Win32Registry registry;
    std::fprintf(stderr, "building %llu keys with one value each...\n", static_cast<unsigned long long>(rows));
    for (std::uint64_t i = 0; i < rows; ++i) {
        KeyHandle key = 0;
        if (registry.CreateKey(kCurrentUser, base + L"\\K" + std::to_wstring(i), key) != 0) return std::nullopt;
        const std::wstring text = L"needle " + std::to_wstring(i);
        registry.SetValue(key, L"v", 1, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                          static_cast<std::uint32_t>((text.size() + 1) * sizeof(wchar_t)));
        registry.CloseKey(key);
    }

    const std::filesystem::path undo = std::filesystem::temp_directory_path() / L"keyscour-bench-undo";
    SpanClock span(registry);
    FormDriver driver(span, undo.wstring());
    if (!driver.created) return std::nullopt;
    Pump();
    Form1* form = driver.form.get();
    SendMessageW(form->Control(design::kCombo1), CB_SETCURSEL, RootIndex(kCurrentUser), 0);
    driver.Type(design::kText2, base);
    driver.Type(design::kText1, L"needle");
    SendMessageW(form->Control(design::kCommand1), BM_CLICK, 0, 0);
    Pump();
    if (form->Rows().Count() != rows) {
        std::fprintf(stderr, "the search listed %zu rows\n", form->Rows().Count());
        return std::nullopt;
    }

    Figures figures;
    figures.rows = rows;
    driver.Type(design::kTxtReplace, L"fresh");
    {
        MessageBoxAnswerer answers({IDYES, IDOK});
        span.Reset();
        SendMessageW(form->Control(design::kCommand2), BM_CLICK, 0, 0);
        figures.replaceMs = span.Ms();
        const std::wstring last = answers.seen.empty() ? std::wstring() : answers.seen.back().text;
        if (last != L"Items have been replaced successfully.") {
            std::fprintf(stderr, "the replace did not succeed: %ls\n", last.c_str());
            return std::nullopt;
        }
    }
    Pump();
    driver.form.reset();
    std::error_code ignored;
    std::filesystem::remove_all(undo, ignored);

    // The least an undo capture costs: one open, one query, one close per row.
    auto begin = Clock::now();
    for (std::uint64_t i = 0; i < rows; ++i) {
        KeyHandle key = 0;
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (registry.OpenKey(kCurrentUser, base + L"\\K" + std::to_wstring(i), key) == 0) {
            registry.QueryValue(key, L"v", type, data);
            registry.CloseKey(key);
        }
    }
    figures.captureMs = MsBetween(begin, Clock::now());
    begin = Clock::now();
    for (std::uint64_t i = 0; i < rows; ++i)
        MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(kCurrentUser), base + L"\\" + ValuePath(i),
                                    L"fresh");
    figures.writeMs = MsBetween(begin, Clock::now());
    return figures;
}

void Print(const Figures& f, const char* tail = "") {
    std::printf("rows=%llu capture_floor_ms=%.1f write_ms=%.1f replace_ms=%.1f ratio=%.2f%s\n",
                static_cast<unsigned long long>(f.rows), f.captureMs, f.writeMs, f.replaceMs, f.Ratio(), tail);
}

}  // namespace

int RunReplaceBench(const std::vector<std::uint64_t>& sizes) {
    const std::wstring scratch = L"Software\\Quillon Keyscour Bench\\" + std::to_wstring(GetCurrentProcessId());
    std::vector<Figures> measured;
    for (std::uint64_t rows : sizes) {
        const std::wstring base = scratch + L"\\R" + std::to_wstring(rows);
        const auto figures = Measure(rows, base);
        RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
        if (!figures) return 1;
        measured.push_back(*figures);
        Print(*figures);
        std::fflush(stdout);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, scratch.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Bench");
    if (measured.size() > 1) {
        char growth[64];
        std::snprintf(growth, sizeof growth, " growth=%.2f", measured[1].replaceMs / measured[0].replaceMs);
        Print(measured[0], growth);
    }
    return 0;
}

}  // namespace keyscour::bench
