#pragma once
// Benchmarks of the window and the command line at real sizes (Windows build). Each prints its
// figures as its last line.

#include <cstdint>
#include <vector>

namespace keyscour::bench {

// Replace All through the real window over one value per key below a
// scratch key of HKCU, against the floors of its undo capture and its
// writes; one line per size, then
//   rows=N capture_floor_ms=C write_ms=W replace_ms=R ratio=X growth=G
int RunReplaceBench(const std::vector<std::uint64_t>& sizes);

// The window's list filled by an in-memory search in which every key is a
// hit, against the same search through the window's yield with the rows
// only counted:
//   rows=N fill_ms=F engine_ms=E ratio=R clear_ms=C list_mb=M text_mb=T
int RunListFillBench(std::uint64_t rows);

// keyscour-cli search over a scratch tree of HKCU against reg query /s of
// the same key, each with its output sent to a file:
//   keys=N cli_ms=C reg_query_ms=Q ratio=R
int RunCliBench(std::uint64_t keys, int rounds);

}  // namespace keyscour::bench
