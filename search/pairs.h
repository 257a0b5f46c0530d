#pragma once
// Several texts replaced in one pass (--pairs FILE): the file read, and
// the search for all its old texts at once.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour::search {

struct ReplacePair {
    std::wstring old, with;
};

struct PairsError {
    std::size_t line = 0;  // 1-based; 0 for the file as a whole
    std::wstring message;
};

// UTF-8 (a byte order mark and CR LF taken), one OLD<TAB>NEW per line;
// lines starting with # and empty lines are passed over. Throws PairsError
// for bytes that are not UTF-8, a line without exactly one tab, an empty
// OLD, an OLD given twice (ignoring case unless caseSensitive), or no pair.
std::vector<ReplacePair> ReadPairs(std::span<const std::uint8_t> bytes, bool caseSensitive);

// Every old text of the pairs found in one pass over a text (Aho-Corasick),
// whatever their number: the leftmost match first, and of those starting
// there the longest.
class PairFinder {
public:
    // olds as compared: upper-cased already when case is ignored.
    explicit PairFinder(const std::vector<std::wstring>& olds);
    ~PairFinder();
    PairFinder(PairFinder&&) noexcept;
    PairFinder& operator=(PairFinder&&) noexcept;

    struct Found {
        std::size_t at = 0, length = 0, pair = 0;
    };
    // The matches of text (upper-cased when case is ignored), left to
    // right, none overlapping: at each place the longest old text that
    // starts there, and the search goes on after it.
    void FindAll(std::wstring_view text, std::vector<Found>& found) const;
    // Whether any old text is in text; the pair of the first match.
    bool FindFirst(std::wstring_view text, std::size_t& pair) const;

private:
    struct Automaton;
    std::unique_ptr<Automaton> automaton_;
    std::size_t longestOld_ = 0;
};

}  // namespace keyscour::search
