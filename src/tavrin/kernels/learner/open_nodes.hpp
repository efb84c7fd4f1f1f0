// The records of growth: what a node hands down to its children, a node
// waiting to be searched, and a searched node with its split.
#pragma once

#include "kernels/learner/draws.hpp"
#include "kernels/learner/monotonic.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin::kernels::learner {

// What a node hands down to each child besides its rows: the child's key,
// the bounds of its value, and the features known to be constant.
struct Lineage {
    std::uint64_t key = kRootKey;
    ValueBounds bounds;
    std::vector<std::int32_t> constants;  // kept only when features are drawn
};

// A searched node: where its rows are and what its split would give.
struct Open {
    std::int64_t id;
    std::size_t begin, end, pos;  // pos: first row of the right child
    std::int64_t depth;
    double improvement;
    bool is_leaf;
    std::vector<double> left, right;  // the children's class weights, when no row-order array is kept
    Lineage to_left, to_right;
    std::size_t stored_begin = 0, stored_end = 0, stored_pos = 0;  // sparse input: as begin, end, pos for the stored entries
};

struct Pending {
    std::size_t begin, end;
    std::int64_t depth, parent;
    bool is_left;
    std::vector<double> totals;  // the node's class weights, when no row-order array is kept
    Lineage lineage;
    std::size_t stored_begin = 0, stored_end = 0;  // sparse input: the node's stored entries
};

}  // namespace tavrin::kernels::learner
