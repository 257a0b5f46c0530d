#pragma once
// A program run as a child with its standard output and error in files of
// its own, as a script runs it, for the tests and the benchmark under
// Wine. Every handle is checked: a file that cannot be opened is said, not
// handed to the child as an invalid handle.

#include <string>

namespace keyscour::testing {

struct ChildRun {
    bool started = false;  // false: failure says why, and the child never ran
    unsigned long exitCode = ~0ul;
    bool timedOut = false;  // stopped after the time given
    double ms = 0;
    std::wstring failure;
};

// commandLine with standard input from NUL and its outputs in outFile and
// errFile (made new; NUL when empty). Only those three handles are passed
// down, so that nothing the child starts holds another of this process's.
ChildRun RunChild(const std::wstring& commandLine, const std::wstring& outFile, const std::wstring& errFile,
                  unsigned long timeoutMs = 0xFFFFFFFFul);

}  // namespace keyscour::testing
