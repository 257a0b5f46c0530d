#pragma once
// Exit codes, as grep has them: 0 found, 1 nothing found, 2 usage or bad
// input; above that, failures during the work.

namespace keyscour::cli::exit_code {

inline constexpr int kFound = 0;
inline constexpr int kNothing = 1;
inline constexpr int kUsage = 2;
inline constexpr int kWriteFailed = 3;
inline constexpr int kDamaged = 3;  // a hive's cells that could not be read, skipped
inline constexpr int kInterrupted = 130;

}  // namespace keyscour::cli::exit_code
