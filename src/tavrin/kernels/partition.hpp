// Stable two-way partition of a node's rows, shared by both tree builders.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tavrin::kernels {

// Moves the entries for which `goes_left(entry)` holds to the front of
// entries[0, m), keeping their order on both sides, and returns how many
// went left. `spill` has room for m entries. Invariant of the loop:
// entries[0, out) are the left entries seen so far, spill[0, right) the
// right ones.
template <class Entry, class GoesLeft>
std::size_t stable_partition(Entry* entries, std::size_t m, GoesLeft goes_left, Entry* spill) {
    std::size_t out = 0, right = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const Entry e = entries[k];
        // Both stores happen; one of the two positions moves.
        entries[out] = e;
        spill[right] = e;
        const bool left = goes_left(e);
        out += left;
        right += !left;
    }
    std::copy(spill, spill + right, entries + out);
    return out;
}

// The same for rows with values kept beside them, moved alike;
// `spill_values` has room for m values.
template <class Value, class GoesLeft>
std::size_t stable_partition(std::uint32_t* rows, Value* values, std::size_t m, GoesLeft goes_left,
                             std::uint32_t* spill, Value* spill_values) {
    std::size_t out = 0, right = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t r = rows[k];
        const Value v = values[k];
        rows[out] = r;
        values[out] = v;
        spill[right] = r;
        spill_values[right] = v;
        const bool left = goes_left(r);
        out += left;
        right += !left;
    }
    std::copy(spill, spill + right, rows + out);
    std::copy(spill_values, spill_values + right, values + out);
    return out;
}

// Half of a partition, for when only one side's entries will be read
// again: moves the entries for which `keep(entry)` holds to the front of
// entries[0, m) in their order (to the back with `at_back`), leaving the
// other places with stale entries. Reading ahead of the writes (behind
// them, going backwards), one store an entry and no spill.
template <class Entry, class Keep>
void stable_keep(Entry* entries, std::size_t m, bool at_back, Keep keep) {
    if (!at_back) {
        std::size_t out = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const Entry e = entries[k];
            entries[out] = e;
            out += keep(e);
        }
        return;
    }
    // Invariant: out > k, so entries[out - 1] is read already.
    std::size_t out = m;
    for (std::size_t k = m; k-- > 0;) {
        const Entry e = entries[k];
        entries[out - 1] = e;
        out -= keep(e);
    }
}

// The same with the sides given by position: values[k] goes left when
// left[k] is not zero. `spill` has room for m values.
template <class Value>
std::size_t stable_partition_at(Value* values, const std::uint8_t* left, std::size_t m, Value* spill) {
    std::size_t out = 0, right = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const Value v = values[k];
        values[out] = v;
        spill[right] = v;
        out += left[k] != 0;
        right += left[k] == 0;
    }
    std::copy(spill, spill + right, values + out);
    return out;
}

}  // namespace tavrin::kernels
