// The random split of one node over one feature, as scikit-learn's random
// splitter draws it: a numeric column gets one threshold drawn uniformly
// between the node's smallest and largest value of it (missing values sent
// to a side drawn at random); a categorical column one subset of the
// node's categories drawn uniformly among those that leave both sides
// non-empty (missing values counting as one more category). The split is
// then judged by the same rules and proxy as the best split's search.
#pragma once

#include "kernels/learner/draws.hpp"
#include "kernels/learner/split_search.hpp"

#include <cstdint>
#include <vector>

namespace tavrin::kernels::learner {

// Scratch of one thread, reused across nodes.
class RandomSearch {
public:
    // As FeatureSearch::numeric; `draws` are the feature's own at the node.
    void numeric(const SearchShared& sh, std::int64_t f, const std::uint32_t* sorted, const float* approx,
                 std::size_t m, const NodeStats& node, Draws& draws, Candidate& best);
    // As FeatureSearch::categorical.
    void categorical(const SearchShared& sh, std::int64_t f, const std::uint32_t* rows, std::size_t m,
                     const NodeStats& node, Draws& draws, Candidate& best);

private:
    // Judges the split whose left side (n_left rows) has the class weights
    // left_; records it in `best` when admissible and strictly better.
    bool settle(const SearchShared& sh, const NodeStats& node, std::int8_t monotonic, std::int64_t n_left,
                Candidate& best);
    void add(const SearchShared& sh, std::uint32_t row);

    std::vector<double> left_, right_;
    double weight_left_ = 0.0;
    std::vector<std::uint8_t> side_;  // per category: 0 absent, 1 left, 2 right
    std::vector<std::int32_t> present_;
};

// The rows of a node's m values (missing last) that have one.
inline std::size_t non_missing(const float* approx, std::size_t m) {
    while (m > 0 && approx[m - 1] != approx[m - 1]) --m;
    return m;
}

// Whether a numeric column is constant on a node's m rows: every value
// missing, or none missing and all within kFeatureThreshold.
inline bool constant_values(const SortedValues& v, std::size_t m) {
    const std::size_t nm = non_missing(v.approx, m);
    return nm == 0 || (nm == m && v.exact(nm - 1) <= v.exact(0) + kFeatureThreshold);
}

// Whether a categorical column holds one value (one category, or missing
// only) on a node's m rows.
bool constant_categories(const RowView& x, std::int64_t f, std::int64_t n_categories, const std::uint32_t* rows,
                         std::size_t m);

}  // namespace tavrin::kernels::learner
