// The rows of one numeric column in ascending order of value, missing
// values last.
#pragma once

#include "kernels/learner/flat_tree.hpp"

#include <cstdint>
#include <vector>

namespace tavrin::kernels::learner {

// Buffers reused from column to column.
struct PresortScratch {
    std::vector<std::uint32_t> keys, keys2, ids, ids2, missing, count;
};

// Sorts `rows` (any order) by x.at(row, f) into `out`; rows whose value is
// NaN follow in the order given. Rows of equal value come in the order
// given as well (the sort is stable). approx[k] is the value of out[k]
// rounded to single precision (NaN for a missing one).
void presort_rows(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& rows,
                  std::vector<std::uint32_t>& out, std::vector<float>& approx, PresortScratch& scratch);

}  // namespace tavrin::kernels::learner
