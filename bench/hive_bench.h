#pragma once
// The native hive benchmark: builds a hive of the tree's shape once, then
// times keyscour-cli search over it against a bare hivex walk:
//   keys=N floor_ms=A search_ms=B ratio=R peak_rss_mb=P

#include <string>

#include "bench/synthetic_tree.h"

namespace keyscour::bench {

// hiveFile, when given, is searched as it is if it exists, else built
// there; either way it is kept.
int RunHiveBench(const TreeShape& shape, int rounds, const std::string& hiveFile);

// --growth: builds the hive, then replaces a text in one value of each of
// 1% of its keys with one 4 characters longer, and undoes it, cycles times:
//   keys=N start_mb=S cycle1_mb=F end_mb=E growth=G replace_ms=R peak_rss_mb=P
// G is E / F; P is the replace's peak resident memory.
int RunHiveGrowthBench(TreeShape shape, int cycles);

// --rename: builds the hive, then renames the needle in the names of 1% of
// its keys (leaves) and 1% of its values in one replace, and undoes it; and
// replaces it in the data of as many values (2%), and undoes that; cycles
// times, alternating:
//   keys=N renamed_keys=K renamed_values=V changed=C cycle1_mb=F end_mb=E growth=G rename_ms=R
//   data_ms=D ratio=R/D
int RunHiveRenameBench(TreeShape shape, int cycles);

// --dirty PERCENT: builds the hive, leaves it dirty with a new-format log
// whose entries change that share of its pages for real, and times a
// search of it (its log replayed) against one of the same hive written
// clean, best of rounds:
//   keys=N dirty_ms=D clean_ms=C ratio=R peak_rss_mb=P hive_mb=H
int RunHiveDirtyBench(const TreeShape& shape, int rounds, int percent);

// --windows: builds an installation of the tree's keys spread over six
// hives (SOFTWARE 40%, SYSTEM 25%, NTUSER.DAT of the one profile 20%,
// DEFAULT 10%, SAM and SECURITY 2.5% each) and times one search of it with
// --windows against the six hives searched one by one with --hive, best of
// rounds, alternating:
//   keys=N hives=6 windows_ms=W separate_ms=S ratio=W/S peak_rss_mb=P
int RunHiveWindowsBench(TreeShape shape, int rounds);

// --options: builds a hive of the tree's keys in two halves, 1% of its keys
// written recently, and times, alternating, medians of rounds: a search
// against the same with --since (the recent keys), --pairs of one pair
// against fifty, and the walk with one half excluded against the whole,
// each less the open (a search that enters no key):
//   keys=N recent_keys=R plain_ms=P since_ms=S since_ratio=S/P one_pair_ms=O fifty_pairs_ms=F pairs_ratio=F/O
//   open_ms=Q walk_ms=P-Q half_excluded_walk_ms=E-Q exclude_ratio=(E-Q)/(P-Q)
int RunHiveOptionsBench(TreeShape shape, int rounds);

}  // namespace keyscour::bench
