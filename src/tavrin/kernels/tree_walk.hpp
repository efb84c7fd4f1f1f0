// Walking rows through a flat copy of a fitted tree: numeric nodes send a
// row left when its value is below the threshold, categorical nodes when
// its value equals one of the node's categories. Pure C++; the caller
// describes each row value as a Cell with the comparisons numpy and the
// interpreter would make on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin::kernels {

// One row value as the walk compares it.
struct Cell {
    enum Kind : std::uint8_t {
        number,   // compares as `real` (and equals as `integer` when is_int)
        text,     // a string: equal only to category text `text_id`
        nothing,  // None: below nothing, equal to nothing
        other,    // anything else: the walk stops if a node must compare it
    };
    Kind kind = other;
    bool is_int = false;
    std::int32_t text_id = -1;  // -1: a string no node lists
    double real = 0.0;
    long long integer = 0;
};

// Category sets of categorical nodes.
struct CategorySet {
    enum Kind : std::uint8_t { text, integer, real } kind = text;
    std::uint32_t begin = 0, count = 0;  // into WalkTree::text_ids / integers / reals
};

struct WalkNode {
    std::int32_t left = -1, right = -1;  // -1: a leaf
    std::int32_t feature = 0;
    bool categorical = false;
    double threshold = 0.0;
    CategorySet set;
    std::int32_t leaf = -1;  // the leaf's index among the leaves
};

struct WalkTree {
    std::vector<WalkNode> nodes;  // root first
    std::vector<std::int32_t> text_ids;
    std::vector<long long> integers;
    std::vector<double> reals;
};

// Whether `cell` is one of the categories of `set`: 1 yes, 0 no, -1 when
// the answer is not a plain one (the walk stops).
int category_member(const WalkTree& tree, const CategorySet& set, const Cell& cell);

// Where `cell` goes at the split `node`: 1 left, 0 right, -1 when the
// answer is not a plain one (the walk stops). NaN goes right.
inline int goes_left(const WalkTree& tree, const WalkNode& node, const Cell& cell) {
    if (node.categorical) return category_member(tree, node.set, cell);
    return cell.kind != Cell::number ? -1 : cell.real < node.threshold;
}

// The membership test of a categorical node for a source that describes
// every value as a Cell; a source may answer it more directly.
template <class Derived>
struct CellMembership {
    int member(const WalkTree& tree, std::size_t /*node*/, const WalkNode& n, std::size_t row) const {
        return category_member(tree, n.set,
                               static_cast<const Derived*>(this)->cell(row, static_cast<std::size_t>(n.feature)));
    }
};

// Writes the leaf index each of rows [begin, end) reaches into `leaves`.
// `source.cell(row, column)` gives a row value as a Cell, and
// `source.member(tree, node index, node, row)` answers a categorical node
// as category_member would for that cell. Returns the first
// row whose walk met a value that a node cannot compare plainly, or `end`
// when every row arrived.
template <class Source>
std::size_t walk_rows(const WalkTree& tree, const Source& source, std::size_t begin,
                      std::size_t end, std::int32_t* leaves) {
    // Rows go down the tree a few at a time, one level per round: their
    // walks are independent, so the processor overlaps the node loads (a
    // large tree does not fit in cache) instead of waiting for each.
    constexpr std::size_t kLanes = 8;
    for (std::size_t first = begin; first < end; first += kLanes) {
        const std::size_t lanes = end - first < kLanes ? end - first : kLanes;
        std::int32_t at[kLanes] = {};
        unsigned walking = (1u << lanes) - 1;
        std::size_t stopped = end;
        while (walking) {
            for (std::size_t k = 0; k < lanes; ++k) {
                if (!(walking >> k & 1u)) continue;
                const std::size_t row = first + k;
                const WalkNode& node = tree.nodes[static_cast<std::size_t>(at[k])];
                if (node.left < 0) {
                    leaves[row] = node.leaf;
                    walking &= ~(1u << k);
                    continue;
                }
                const int go_left =
                    node.categorical ? source.member(tree, static_cast<std::size_t>(at[k]), node, row)
                                     : goes_left(tree, node, source.cell(row, static_cast<std::size_t>(node.feature)));
                if (go_left < 0) {
                    if (row < stopped) stopped = row;
                    walking &= ~(1u << k);
                    continue;
                }
                at[k] = go_left ? node.left : node.right;
            }
        }
        if (stopped != end) return stopped;
    }
    return end;
}

}  // namespace tavrin::kernels
