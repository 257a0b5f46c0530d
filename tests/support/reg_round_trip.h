#pragma once
// What the .reg fuzz target checks of each input, shared with the tests of
// the inputs it once failed on: read as --reg-file and undo read it; what
// was accepted (but names with line breaks, which the writer refuses)
// written back with the script writer, read again, and compared.

#include <cstdint>
#include <span>

namespace keyscour::fuzz {

enum class RoundTrip {
    kRefused,            // not a script the reader takes: fine
    kSame,               // read, written back, read again: the same contents
    kWrittenButRefused,  // a fault: the writer wrote what the reader refuses
    kDifferent,          // a fault: the contents changed on the way
};

RoundTrip ReadAndWriteBack(std::span<const std::uint8_t> bytes);

}  // namespace keyscour::fuzz
