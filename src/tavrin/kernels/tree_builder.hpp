// The whole-tree builder: grows a decision tree over prepared columns in
// one pass, with the node order, split choice and arithmetic of the
// step-by-step growth (one _best_split per node, depth first, left first).
// Pure C++; the caller turns the flat result into Node objects.
#pragma once

#include "kernels/cancel.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tavrin::kernels {

// One feature column over all training rows.
struct BuildColumn {
    bool categorical = false;
    // Numeric: row r's value is *(const double*)(data + r * stride); NaN is
    // a missing value, which sorts after all others.
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    // Categorical: the rank of row r's category among the column's distinct
    // categories in ascending order, or -1 for a missing value.
    const std::int32_t* ranks = nullptr;
    std::int32_t n_ranks = 0;

    double value(std::size_t row) const {
        return *reinterpret_cast<const double*>(data + static_cast<std::ptrdiff_t>(row) * stride);
    }
};

// How a scan position's impurity is weighed.
enum class ImpurityRule {
    // Class codes 0 and 1 only, squares as q * q (the typed scan).
    two_class,
    // Every class code, squares as the interpreter's float ** 2 (pow).
    all_classes,
};

// The order in which numpy's argsort(kind="quicksort") puts `means`; asked
// only when two means are equal, since that sort is not stable and its tie
// order is numpy's own. Fills `order` (n entries) and returns true, or
// returns false to abandon the build.
class TieOrder {
public:
    virtual ~TieOrder() = default;
    virtual bool order(const std::vector<double>& means, std::vector<std::int32_t>& order) = 0;
};

struct BuildInput {
    std::size_t rows = 0;
    std::vector<BuildColumn> columns;  // in column-position order
    const std::int32_t* codes = nullptr;  // class code of each row, 0 .. n_classes-1
    std::size_t n_classes = 0;
    long long depth_limit = 0;  // a node of depth d is searched when d < depth_limit
    ImpurityRule rule = ImpurityRule::two_class;
    TieOrder* ties = nullptr;
    CancelHook* cancel = nullptr;  // asked every few milliseconds; null: never
    // Keep each numeric feature's values in its sorted order beside its
    // rows (8 bytes a row and feature more): scans then read them in
    // order instead of gathering them by row, which misses the cache once
    // the columns outgrow it. The tree is the same either way.
    bool values_beside_rows = false;
};

struct BuiltNode {
    std::int32_t depth = 0;
    std::int32_t predicted = 0;    // majority class code (first maximum)
    long long majority = 0;        // its row count
    long long total = 0;           // the node's row count
    std::int32_t feature = -1;     // -1: a leaf
    double threshold = 0.0;        // the split's midpoint
    std::int32_t left = -1, right = -1;
    // Categorical splits: the ranks of the categories that go left, in the
    // order of their codes at this node, as cat_ranks[cat_begin ..
    // cat_begin + cat_count).
    std::uint32_t cat_begin = 0, cat_count = 0;
};

struct BuiltTree {
    // Depth-first, left before right; root first. A deque grows without
    // moving what it holds (no second copy at the peak).
    std::deque<BuiltNode> nodes;
    std::vector<std::int32_t> cat_ranks;
    // The rows of the last node whose split search ran (depth below the
    // limit, at least two rows), ascending; `searched` is false when none ran.
    bool searched = false;
    std::vector<std::uint32_t> last_searched_rows;
    std::int32_t depth = 0;  // the deepest node's depth
};

// abandoned: the tie order was not to be had; cancelled: the hook said stop.
enum class BuildStatus { ok, abandoned, cancelled };

// Grows the tree. May throw std::bad_alloc.
BuildStatus build_tree(const BuildInput& in, BuiltTree& out);

}  // namespace tavrin::kernels
