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

// Writes the leaf index each of rows [begin, end) reaches into `leaves`.
// `source.cell(row, column)` gives a row value as a Cell. Returns the first
// row whose walk met a value that a node cannot compare plainly, or `end`
// when every row arrived.
template <class Source>
std::size_t walk_rows(const WalkTree& tree, const Source& source, std::size_t begin,
                      std::size_t end, std::int32_t* leaves) {
    for (std::size_t row = begin; row < end; ++row) {
        const WalkNode* node = &tree.nodes[0];
        while (node->left >= 0) {
            const Cell v = source.cell(row, static_cast<std::size_t>(node->feature));
            bool go_left;
            if (!node->categorical) {
                if (v.kind != Cell::number) return row;
                go_left = v.real < node->threshold;  // NaN goes right
            } else {
                const int member = category_member(tree, node->set, v);
                if (member < 0) return row;
                go_left = member == 1;
            }
            node = &tree.nodes[static_cast<std::size_t>(go_left ? node->left : node->right)];
        }
        leaves[row] = node->leaf;
    }
    return end;
}

}  // namespace tavrin::kernels
