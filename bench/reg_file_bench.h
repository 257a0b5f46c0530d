#pragma once
// The .reg reader over a big export: the file is decoded and read into a
// counting visitor, best of rounds:
//   bytes_mb=M read_ms=R mb_per_s=S keys=K values=V

#include <string>

namespace keyscour::bench {

// file, when missing, is first written there as regedit exports: about
// 100 MB of UTF-16, hex data wrapped at 80 columns.
int RunRegFileBench(const std::string& file, int rounds);

}  // namespace keyscour::bench
