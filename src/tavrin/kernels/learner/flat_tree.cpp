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

// A node as the row walk reads it: one cache line holds nearly three.
struct WalkStep {
    double threshold;
    std::int32_t left, right, feature;
    std::uint8_t missing_left, categorical;
};

// The child of split node `node` that value v goes to.
inline std::size_t next_step(const FlatTree& t, const std::vector<WalkStep>& steps, std::size_t node, double v) {
    const WalkStep& s = steps[node];
    const bool left = s.categorical ? goes_left(t, node, v)
                                    : (v <= s.threshold) | ((v != v) & (s.missing_left != 0));  // NaN: the missing side
    return static_cast<std::size_t>(left ? s.left : s.right);
}

}  // namespace

void apply_rows(const FlatTree& t, const RowView& x, std::size_t begin, std::size_t end,
                std::int64_t* out) {
    std::vector<WalkStep> steps(t.node_count());
    for (std::size_t i = 0; i < steps.size(); ++i)
        steps[i] = {t.threshold[i], static_cast<std::int32_t>(t.left[i]), static_cast<std::int32_t>(t.right[i]),
                    static_cast<std::int32_t>(t.feature[i]), t.missing_left[i], t.is_categorical[i]};
    for (std::size_t row = begin; row < end; ++row) {
        std::size_t at = 0;
        while (steps[at].left >= 0) at = next_step(t, steps, at, x.at(row, steps[at].feature));
        out[row] = static_cast<std::int64_t>(at);
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
