// The .reg reader, as --reg-file and undo use it: whatever it accepts and
// the script writer can carry is written back, read again, and must give
// the same registry contents.

#include <cstdint>
#include <cstdlib>

#include "tests/support/reg_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using keyscour::fuzz::RoundTrip;
    const RoundTrip result = keyscour::fuzz::ReadAndWriteBack({bytes, size});
    if (result == RoundTrip::kWrittenButRefused || result == RoundTrip::kDifferent) std::abort();
    return 0;
}
