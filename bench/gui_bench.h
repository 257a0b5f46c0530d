#pragma once
// The search through the real window against the same search headless.

#include <cstdint>
#include <string>

#include "registry/registry.h"

namespace keyscour::bench {

// Prints, as its last line:
//   keys=N gui_ms=G engine_ms=E ratio=R max_yield_gap_ms=Y rows_per_s=S
// Returns 0 when every search ran to its end.
int RunGuiBench(Registry& registry, KeyHandle root, const std::wstring& start, std::uint64_t keys, int rounds);

}  // namespace keyscour::bench
