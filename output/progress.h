#pragma once
// One line of progress on a terminal's standard error while a walk runs:
// keys walked, hits, keys per second and the key being walked, refreshed at
// most ten times a second. Nothing when standard error is not a terminal.

#include <chrono>
#include <cstdint>
#include <string_view>

#include "output/sink.h"

namespace keyscour::output {

class Progress {
public:
    Progress(Sink& errors, bool enabled) : errors_(errors), enabled_(enabled && errors.IsTerminal()) {}
    void Key(std::wstring_view fullKey, std::uint64_t keys, std::uint64_t hits);
    // Clears the line, before anything else is written to the terminal.
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    Sink& errors_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
};

}  // namespace keyscour::output
