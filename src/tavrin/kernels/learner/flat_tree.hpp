// A fitted tree as parallel arrays, and the walks over it: the leaf a row
// reaches and the nodes it visits. Node 0 is the root and every child's id
// is above its parent's, so a walk only moves forward and cannot cycle.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::kernels::learner {

constexpr std::int64_t kLeaf = -1;        // children of a leaf
constexpr std::int64_t kNoFeature = -2;   // feature of a leaf
// The most categories a column may have: the learner's search keeps
// tables of this many entries per class, and the codes are exact in a
// float's mantissa far beyond.
constexpr std::int64_t kMaxCategories = std::int64_t{1} << 24;

struct FlatTree {
    std::int64_t n_classes = 0;
    std::int64_t n_features = 0;
    // Per feature: 0 for a numeric column, else its number of categories k;
    // a split on it keeps a set of k bits (whole 64-bit words).
    std::vector<std::int64_t> n_categories;

    std::vector<std::int64_t> left, right, feature;
    std::vector<double> threshold;             // NaN on leaves and categorical nodes
    std::vector<std::uint8_t> missing_left;    // 1: missing values go left
    std::vector<std::uint8_t> is_categorical;
    // Only categorical splits keep a category set: category_offset is the
    // first word of the node's set in category_bits (bit c: code c goes
    // left), -1 for every other node.
    std::vector<std::int64_t> category_offset;
    std::vector<std::uint64_t> category_bits;
    std::vector<std::int64_t> n_node_samples;
    std::vector<double> weighted_n_node_samples;
    std::vector<double> impurity;
    std::vector<double> value;                 // node_count() x n_classes weighted class counts
    // node_count() x n_classes class probabilities where monotonic
    // constraints bound them; empty: the class shares of `value`.
    std::vector<double> proba;

    std::size_t node_count() const { return left.size(); }
    // Appends a leaf with zeroed statistics and returns its id.
    std::int64_t add_node();
    // Words in a category set of `feature`.
    std::int64_t words_of(std::int64_t feature) const {
        return std::max<std::int64_t>(1, (n_categories[static_cast<std::size_t>(feature)] + 63) / 64);
    }
    // Gives node `node` a zeroed set of its feature's width; returns its first word.
    std::uint64_t* add_category_set(std::size_t node);
    // Rebuilds category_bits with the sets of categorical splits only, in
    // node order (after growth or pruning leaves sets no split uses).
    void compact_categories();
};

// Empty when the arrays form a tree the walks can trust: consistent sizes,
// children after their parents, each node but the root with one parent,
// features in range, flags 0 or 1, every categorical split's set inside
// category_bits. Otherwise the first fault found.
std::string check_tree(const FlatTree& tree);

// The depth of the deepest leaf (the root alone: 0) and the leaf count.
std::int64_t tree_depth(const FlatTree& tree);
std::int64_t tree_leaves(const FlatTree& tree);

// A row's values: feature f at row[f * stride] (stride in elements).
struct RowView {
    const double* data = nullptr;
    std::ptrdiff_t row_stride = 0, col_stride = 0;  // in elements
    double at(std::size_t row, std::int64_t f) const {
        return data[static_cast<std::ptrdiff_t>(row) * row_stride + f * col_stride];
    }
};

// Whether a split sends value `v` left. NaN, and for a category set a
// code that is negative, not integral or beyond the set's `words` words,
// take the missing direction.
inline bool sends_left(bool categorical, double threshold, bool missing_left,
                       const std::uint64_t* bits, std::int64_t words, double v) {
    if (v != v) return missing_left;
    if (!categorical) return v <= threshold;
    if (!(v >= 0.0 && v < 64.0 * static_cast<double>(words)) ||
        v != static_cast<double>(static_cast<std::int64_t>(v)))
        return missing_left;
    const std::uint64_t c = static_cast<std::uint64_t>(v);
    return (bits[c / 64] >> (c % 64)) & 1u;
}

inline bool goes_left(const FlatTree& t, std::size_t node, double v) {
    const bool categorical = t.is_categorical[node] != 0;
    return sends_left(categorical, t.threshold[node], t.missing_left[node] != 0,
                      categorical ? &t.category_bits[static_cast<std::size_t>(t.category_offset[node])] : nullptr,
                      categorical ? t.words_of(t.feature[node]) : 0, v);
}

// Leaf ids of rows [begin, end) into out[begin .. end).
void apply_rows(const FlatTree& t, const RowView& x, std::size_t begin, std::size_t end,
                std::int64_t* out);

// Appends the nodes row `row` visits, root first, to `path`.
void path_of_row(const FlatTree& t, const RowView& x, std::size_t row, std::vector<std::int64_t>& path);

}  // namespace tavrin::kernels::learner
