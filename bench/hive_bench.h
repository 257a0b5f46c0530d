#pragma once
// The native hive benchmark: builds a hive of the tree's shape once, then
// times keyscour-cli search over it against a bare hivex walk:
//   keys=N floor_ms=A search_ms=B ratio=R peak_rss_mb=P

#include "bench/synthetic_tree.h"

namespace keyscour::bench {

int RunHiveBench(const TreeShape& shape, int rounds);

}  // namespace keyscour::bench
