#include "search/pairs.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <queue>
#include <unordered_map>

#include "base/unicode_case.h"
#include "base/utf8.h"

namespace keyscour::search {

std::vector<ReplacePair> ReadPairs(std::span<const std::uint8_t> bytes, bool caseSensitive) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<ReplacePair> pairs;
    std::map<std::wstring, std::size_t> seen;  // compared form, its line
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!IsValidUtf8(line)) throw PairsError{number, L"not UTF-8"};
        if (line.empty() || line.front() == '#') continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) throw PairsError{number, L"no tab between OLD and NEW"};
        if (line.find('\t', tab + 1) != std::string_view::npos)
            throw PairsError{number, L"more than one tab: OLD<TAB>NEW, the texts holding none"};
        ReplacePair pair{FromUtf8(std::string(line.substr(0, tab))), FromUtf8(std::string(line.substr(tab + 1)))};
        if (pair.old.empty()) throw PairsError{number, L"an empty OLD"};
        const std::wstring compared = caseSensitive ? pair.old : UpperCased(pair.old);
        if (const auto [where, added] = seen.emplace(compared, number); !added)
            throw PairsError{number, L"OLD \"" + pair.old + L"\" is given on line " + std::to_wstring(where->second) +
                                         L" too" + (caseSensitive ? L"" : L" (case is ignored)")};
        pairs.push_back(std::move(pair));
    }
    if (pairs.empty()) throw PairsError{0, L"no OLD<TAB>NEW line"};
    return pairs;
}

// The old texts' trie with its failure links; each state knows the
// longest old text that ends there and where the next shorter one that
// ends there is (its output link).
struct PairFinder::Automaton {
    struct State {
        std::array<std::int32_t, 128> ascii;  // -1: none
        std::unordered_map<wchar_t, std::int32_t> wider;
        std::int32_t fail = 0;
        std::int32_t output = -1;  // the nearest state down the failure links that ends an old text
        std::int32_t pair = -1;    // the old text ending here
        std::size_t depth = 0;
        State() { ascii.fill(-1); }
    };
    std::vector<State> states{State{}};

    std::int32_t Child(std::int32_t state, wchar_t c) const {
        const State& s = states[static_cast<std::size_t>(state)];
        if (static_cast<std::uint32_t>(c) < 128) return s.ascii[static_cast<std::size_t>(c)];
        const auto it = s.wider.find(c);
        return it == s.wider.end() ? -1 : it->second;
    }
    void SetChild(std::int32_t state, wchar_t c, std::int32_t child) {
        State& s = states[static_cast<std::size_t>(state)];
        if (static_cast<std::uint32_t>(c) < 128)
            s.ascii[static_cast<std::size_t>(c)] = child;
        else
            s.wider[c] = child;
    }
    std::int32_t Next(std::int32_t state, wchar_t c) const {
        for (;;) {
            const std::int32_t child = Child(state, c);
            if (child >= 0) return child;
            if (state == 0) return 0;
            state = states[static_cast<std::size_t>(state)].fail;
        }
    }
    template <typename OnEnd>
    void Scan(std::wstring_view text, OnEnd&& onEnd) const {
        std::int32_t state = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            state = Next(state, text[i]);
            for (std::int32_t at = states[static_cast<std::size_t>(state)].pair >= 0 ? state
                                   : states[static_cast<std::size_t>(state)].output;
                 at > 0; at = states[static_cast<std::size_t>(at)].output) {
                const State& ends = states[static_cast<std::size_t>(at)];
                if (!onEnd(i + 1 - ends.depth, ends.depth, static_cast<std::size_t>(ends.pair))) return;
            }
        }
    }
};

PairFinder::PairFinder(const std::vector<std::wstring>& olds) : automaton_(std::make_unique<Automaton>()) {
    Automaton& a = *automaton_;
    for (std::size_t i = 0; i < olds.size(); ++i) {
        std::int32_t state = 0;
        for (const wchar_t c : olds[i]) {
            std::int32_t child = a.Child(state, c);
            if (child < 0) {
                child = static_cast<std::int32_t>(a.states.size());
                a.states.emplace_back();
                a.states.back().depth = a.states[static_cast<std::size_t>(state)].depth + 1;
                a.SetChild(state, c, child);
            }
            state = child;
        }
        if (a.states[static_cast<std::size_t>(state)].pair < 0)
            a.states[static_cast<std::size_t>(state)].pair = static_cast<std::int32_t>(i);
        longestOld_ = std::max(longestOld_, olds[i].size());
    }
    // Failure and output links, breadth first.
    std::queue<std::int32_t> queue;
    const auto children = [&](std::int32_t state, auto&& each) {
        const auto& s = a.states[static_cast<std::size_t>(state)];
        for (std::size_t c = 0; c < 128; ++c)
            if (s.ascii[c] >= 0) each(static_cast<wchar_t>(c), s.ascii[c]);
        for (const auto& [c, child] : s.wider) each(c, child);
    };
    children(0, [&](wchar_t, std::int32_t child) {
        a.states[static_cast<std::size_t>(child)].fail = 0;
        queue.push(child);
    });
    while (!queue.empty()) {
        const std::int32_t state = queue.front();
        queue.pop();
        children(state, [&](wchar_t c, std::int32_t child) {
            std::int32_t fail = a.states[static_cast<std::size_t>(state)].fail;
            while (fail != 0 && a.Child(fail, c) < 0) fail = a.states[static_cast<std::size_t>(fail)].fail;
            const std::int32_t target = a.Child(fail, c);
            auto& s = a.states[static_cast<std::size_t>(child)];
            s.fail = target >= 0 && target != child ? target : 0;
            const auto& f = a.states[static_cast<std::size_t>(s.fail)];
            s.output = f.pair >= 0 ? s.fail : f.output;
            queue.push(child);
        });
    }
}

PairFinder::~PairFinder() = default;
PairFinder::PairFinder(PairFinder&&) noexcept = default;
PairFinder& PairFinder::operator=(PairFinder&&) noexcept = default;

void PairFinder::FindAll(std::wstring_view text, std::vector<Found>& found) const {
    found.clear();
    // The longest old text starting at each place, made at the first
    // match (most texts have none), then a sweep from the left.
    std::vector<Found> longest;
    automaton_->Scan(text, [&](std::size_t at, std::size_t length, std::size_t pair) {
        if (longest.empty()) longest.resize(text.size());
        if (length > longest[at].length) longest[at] = {at, length, pair};
        return true;
    });
    if (longest.empty()) return;
    for (std::size_t i = 0; i < text.size();) {
        if (longest[i].length == 0) {
            ++i;
            continue;
        }
        found.push_back(longest[i]);
        i += longest[i].length;
    }
}

bool PairFinder::FindFirst(std::wstring_view text, std::size_t& pair) const {
    // The leftmost match, the longest of those: no match ending past the
    // longest old text after its start can start at or before it.
    std::optional<Found> first;
    automaton_->Scan(text, [&](std::size_t at, std::size_t length, std::size_t found) {
        if (first && at + length > first->at + longestOld_) return false;
        if (!first || at < first->at || (at == first->at && length > first->length)) first = Found{at, length, found};
        return true;
    });
    if (!first) return false;
    pair = first->pair;
    return true;
}

}  // namespace keyscour::search
