#pragma once
// Numbers under which an internal error ends a search. 0 and 1 mean
// "completed" and "stopped" and are never used for errors.

#include <cstdint>
#include <new>

#include "base/numbered_error.h"

namespace keyscour {

inline constexpr std::int32_t kErrorOutOfMemory = 7;
inline constexpr std::int32_t kErrorInternal = 51;

// The number of the exception being handled; call only inside a catch block.
inline std::int32_t CurrentErrorNumber() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kErrorOutOfMemory;
    } catch (const NumberedError& error) {
        return error.Number() == 0 || error.Number() == 1 ? kErrorInternal : error.Number();
    } catch (...) {
        return kErrorInternal;
    }
}

}  // namespace keyscour
