#include "kernels/learner/flat_tree.hpp"

#include <algorithm>
#include <limits>

namespace tavrin::kernels::learner {

std::int64_t FlatTree::add_node() {
    const std::int64_t id = static_cast<std::int64_t>(left.size());
    left.push_back(kLeaf);
    right.push_back(kLeaf);
    feature.push_back(kNoFeature);
    threshold.push_back(std::numeric_limits<double>::quiet_NaN());
    missing_left.push_back(0);
    is_categorical.push_back(0);
    category_offset.push_back(-1);
    n_node_samples.push_back(0);
    weighted_n_node_samples.push_back(0.0);
    impurity.push_back(0.0);
    value.resize(value.size() + static_cast<std::size_t>(n_classes), 0.0);
    return id;
}

std::uint64_t* FlatTree::add_category_set(std::size_t node) {
    const std::size_t at = category_bits.size();
    category_bits.resize(at + static_cast<std::size_t>(words_of(feature[node])), 0);
    category_offset[node] = static_cast<std::int64_t>(at);
    return &category_bits[at];
}

void FlatTree::compact_categories() {
    std::vector<std::uint64_t> kept;
    for (std::size_t i = 0; i < node_count(); ++i) {
        if (!is_categorical[i] || left[i] == kLeaf) {
            category_offset[i] = -1;
            continue;
        }
        const auto from = category_bits.begin() + category_offset[i];
        category_offset[i] = static_cast<std::int64_t>(kept.size());
        kept.insert(kept.end(), from, from + words_of(feature[i]));
    }
    category_bits.swap(kept);
}

std::string check_tree(const FlatTree& t) {
    const std::size_t m = t.node_count();
    if (m == 0) return "the tree has no node";
    if (m >= (std::size_t{1} << 31)) return "the tree has too many nodes";
    if (t.n_classes < 1) return "n_classes must be at least 1";
    if (t.n_features < 1) return "n_features must be at least 1";
    if (t.n_categories.size() != static_cast<std::size_t>(t.n_features))
        return "n_categories does not have one entry per feature";
    for (std::int64_t k : t.n_categories)
        if (k < 0 || k > kMaxCategories) return "n_categories holds a count out of range";
    if (t.right.size() != m || t.feature.size() != m || t.threshold.size() != m ||
        t.missing_left.size() != m || t.is_categorical.size() != m || t.n_node_samples.size() != m ||
        t.weighted_n_node_samples.size() != m || t.impurity.size() != m || t.category_offset.size() != m)
        return "the per-node arrays differ in length";
    if (t.value.size() != m * static_cast<std::size_t>(t.n_classes))
        return "value does not have one row of n_classes per node";
    if (!t.proba.empty() && t.proba.size() != t.value.size()) return "proba must be empty or shaped as value";
    std::vector<std::uint8_t> has_parent(m, 0);
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t id = static_cast<std::int64_t>(i);
        const std::int64_t l = t.left[i], r = t.right[i];
        if (t.missing_left[i] > 1 || t.is_categorical[i] > 1) return "flags must be 0 or 1";
        if (t.n_node_samples[i] < 0) return "n_node_samples must not be negative";
        if (l == kLeaf && r == kLeaf) {
            if (t.feature[i] != kNoFeature) return "a leaf's feature must be -2";
            continue;
        }
        if (l <= id || r <= id || l >= static_cast<std::int64_t>(m) || r >= static_cast<std::int64_t>(m) || l == r)
            return "a child id must be above its parent's and below node_count";
        if (t.feature[i] < 0 || t.feature[i] >= t.n_features) return "a split's feature is out of range";
        if (t.is_categorical[i]) {
            if (t.n_categories[static_cast<std::size_t>(t.feature[i])] == 0)
                return "a categorical split is on a numeric feature";
            const std::int64_t at = t.category_offset[i];
            if (at < 0 || static_cast<std::uint64_t>(at) > t.category_bits.size() ||
                t.category_bits.size() - static_cast<std::size_t>(at) < static_cast<std::size_t>(t.words_of(t.feature[i])))
                return "a categorical split's set lies outside category_bits";
        }
        for (std::int64_t c : {l, r}) {
            if (has_parent[static_cast<std::size_t>(c)]) return "a node has two parents";
            has_parent[static_cast<std::size_t>(c)] = 1;
        }
    }
    for (std::size_t i = 1; i < m; ++i)
        if (!has_parent[i]) return "a node other than the root has no parent";
    return {};
}

std::int64_t tree_depth(const FlatTree& t) {
    std::vector<std::int64_t> depth(t.node_count(), 0);
    std::int64_t deepest = 0;
    for (std::size_t i = 0; i < t.node_count(); ++i) {
        deepest = std::max(deepest, depth[i]);
        if (t.left[i] == kLeaf) continue;
        depth[static_cast<std::size_t>(t.left[i])] = depth[i] + 1;
        depth[static_cast<std::size_t>(t.right[i])] = depth[i] + 1;
    }
    return deepest;
}

std::int64_t tree_leaves(const FlatTree& t) {
    return static_cast<std::int64_t>(std::count(t.left.begin(), t.left.end(), kLeaf));
}

namespace {

// A node as the batched walk reads it: one cache line holds nearly three.
// A leaf points to itself on both sides, so a row that reached its leaf
// stays there while the other rows of its batch go on.
struct WalkStep {
    double threshold;
    std::int32_t child[2];  // left, right
    std::int32_t feature;
    std::uint8_t missing_left, categorical, leaf;
};

std::vector<WalkStep> walk_steps(const FlatTree& t) {
    std::vector<WalkStep> steps(t.node_count());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const bool leaf = t.left[i] == kLeaf;
        const std::int32_t self = static_cast<std::int32_t>(i);
        WalkStep& st = steps[i];
        st.threshold = t.threshold[i];
        st.child[0] = leaf ? self : static_cast<std::int32_t>(t.left[i]);
        st.child[1] = leaf ? self : static_cast<std::int32_t>(t.right[i]);
        st.feature = leaf ? 0 : static_cast<std::int32_t>(t.feature[i]);
        st.missing_left = t.missing_left[i];
        st.categorical = static_cast<std::uint8_t>(!leaf && t.is_categorical[i]);
        st.leaf = static_cast<std::uint8_t>(leaf);
    }
    return steps;
}

// Rows walked side by side: their loads and compares overlap, and the
// child is chosen without a branch the processor would mispredict.
constexpr std::size_t kBatch = 8;

// The tree's own arrays, row by row: for a few rows, cheaper than making
// the walk steps of a large tree.
void apply_each(const FlatTree& t, const RowView& x, std::size_t begin, std::size_t end, std::int64_t* out) {
    for (std::size_t row = begin; row < end; ++row) {
        std::size_t node = 0;
        while (t.left[node] != kLeaf)
            node = static_cast<std::size_t>(goes_left(t, node, x.at(row, t.feature[node])) ? t.left[node] : t.right[node]);
        out[row] = static_cast<std::int64_t>(node);
    }
}

}  // namespace

void apply_rows(const FlatTree& t, const RowView& x, std::size_t begin, std::size_t end,
                std::int64_t* out) {
    const std::size_t n = end - begin;
    if (n < kBatch || n * 2 < t.node_count()) return apply_each(t, x, begin, end, out);
    const std::vector<WalkStep> steps = walk_steps(t);
    const WalkStep* s = steps.data();
    // kBatch slots, each walking one row; a slot whose row reached its leaf
    // writes it and takes the next row. A slot left without rows parks on
    // a leaf (every tree has one), where each step keeps it.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const std::int32_t parked = static_cast<std::int32_t>(std::find(t.left.begin(), t.left.end(), kLeaf) - t.left.begin());
    std::size_t row[kBatch];
    std::int32_t at[kBatch];
    const double* base[kBatch];
    std::size_t next = begin;
    for (std::size_t k = 0; k < kBatch; ++k) {
        row[k] = next++;
        at[k] = 0;
        base[k] = x.data + static_cast<std::ptrdiff_t>(row[k]) * x.row_stride;
    }
    std::size_t live = kBatch;
    // Rows stored whole (C order) are asked for kAhead rows before their
    // turn, up to their first three cache lines at once (24 features; a fixed
    // count measured faster than one per line of the row): the walk reads
    // a few values of each row in an order the hardware cannot guess.
    constexpr std::size_t kAhead = 16;
    const bool whole_rows = x.col_stride == 1;
    const std::int64_t row_bytes = t.n_features * static_cast<std::int64_t>(sizeof(double));  // only the row's own lines
    while (live) {
        for (std::size_t k = 0; k < kBatch; ++k) {
            const WalkStep& st = s[at[k]];
            const double v = base[k][st.feature * x.col_stride];
            const bool left = st.categorical ? goes_left(t, static_cast<std::size_t>(at[k]), v)
                                             : (v <= st.threshold) | ((v != v) & (st.missing_left != 0));
            at[k] = st.child[!left];  // an index, not a branch
        }
        for (std::size_t k = 0; k < kBatch; ++k) {
            if (!s[at[k]].leaf || row[k] == kNone) continue;
            out[row[k]] = at[k];
            if (next < end) {
                if (whole_rows && next + kAhead < end) {
                    const char* ahead = reinterpret_cast<const char*>(x.data + static_cast<std::ptrdiff_t>(next + kAhead) * x.row_stride);
                    __builtin_prefetch(ahead);
                    if (row_bytes > 64) __builtin_prefetch(ahead + 64);
                    if (row_bytes > 128) __builtin_prefetch(ahead + 128);
                }
                row[k] = next++;
                at[k] = 0;
                base[k] = x.data + static_cast<std::ptrdiff_t>(row[k]) * x.row_stride;
            } else {
                row[k] = kNone;
                at[k] = parked;
                --live;
            }
        }
    }
}

void path_of_row(const FlatTree& t, const RowView& x, std::size_t row, std::vector<std::int64_t>& path) {
    std::size_t node = 0;
    path.push_back(0);
    while (t.left[node] != kLeaf) {
        node = static_cast<std::size_t>(goes_left(t, node, x.at(row, t.feature[node])) ? t.left[node] : t.right[node]);
        path.push_back(static_cast<std::int64_t>(node));
    }
}

}  // namespace tavrin::kernels::learner
