// Column-major copies of the data for random splits, made once per fit,
// column by column on the pool.
#pragma once

#include "kernels/learner/flat_tree.hpp"
#include "kernels/learner/pool.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavrin::kernels::learner {

// out[f * n + k] = x.at(rows[k], f) for k < n (rows null: row k) and every
// column f but, when n_categories is not null, those with n_categories[f]
// != 0 (their part of `out` is left as it is). `poll(n)` is called on the
// calling thread before each column it copies, and may throw.
void copy_columns(Pool& pool, const RowView& x, const std::uint32_t* rows, std::size_t n, std::size_t p,
                  const std::int64_t* n_categories, std::vector<double>& out,
                  const std::function<void(std::size_t)>& poll);

}  // namespace tavrin::kernels::learner
