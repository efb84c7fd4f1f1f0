// The rows of the numeric columns in ascending order of value, missing
// values last.
#pragma once

#include "kernels/learner/flat_tree.hpp"
#include "kernels/learner/pool.hpp"

#include <cstdint>
#include <functional>
#include <vector>

namespace tavrin::kernels::learner {

// Buffers reused from column to column.
struct PresortScratch {
    std::vector<std::uint64_t> entries, spare;  // key and id, in the order so far
    std::vector<std::uint64_t> column;          // presort_rows' entries
    std::vector<std::uint32_t> count;
};

// For rows[begin, end) and every column f whose keys[f] is not null:
// the i-th 32-bit key at keys[f] = the sort key of x.at(rows[i], f), in
// the bytes [4i, 4i + 4). Walks x row by row when `by_rows`, column by
// column otherwise.
void write_keys(const RowView& x, const std::uint32_t* rows, std::size_t begin, std::size_t end,
                unsigned char* const* keys, std::size_t cols, bool by_rows);

// Sorts n rows of column f from their keys (written by write_keys), the
// i-th row being ids[i] & mask: on return out[k] is the entry (make_entry)
// of the row that comes k-th, with ids[i] and the row's value rounded to
// single precision (NaN when missing). Rows whose value is NaN follow in
// the order given, and so do rows of equal value (the sort is stable).
void sort_column(const RowView& x, std::int64_t f, const std::uint32_t* ids, std::uint32_t mask,
                 std::size_t n, const unsigned char* keys, std::uint64_t* out, PresortScratch& scratch);

// Both steps for one column, with the rows as their own ids.
void presort_rows(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& rows,
                  std::vector<std::uint32_t>& out, std::vector<float>& approx, PresortScratch& scratch);

// Every numeric column (n_categories[f] == 0) of `rows`, on the pool:
// sorted[f] gets the entries of the rows in the column's order (with
// `tagged`, each id with its class code from `codes` in the bits above
// kRowBits), as sort_column gives them; the keys of all columns come from
// one walk over x, on row chunks or columns as its memory order favours.
// `poll(n)` is called on the calling thread before each column is sorted,
// and may throw.
void presort_columns(Pool& pool, const RowView& x, const std::int64_t* n_categories,
                     const std::vector<std::uint32_t>& rows, const std::uint16_t* codes, bool tagged,
                     std::vector<std::vector<std::uint64_t>>& sorted, const std::function<void(std::size_t)>& poll);

}  // namespace tavrin::kernels::learner
