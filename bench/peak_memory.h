#pragma once
// The process's peak resident memory, and (where the platform allows) a way
// to start counting the peak afresh so that a phase can be measured alone.

namespace keyscour::bench {

void ResetPeakMemory();
double PeakMemoryMb();

}  // namespace keyscour::bench
