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
#include <limits>
#include <vector>

namespace tavrin::kernels::learner {

// The smallest and largest of a node's values of a numeric column (NaN
// left out) and how many are missing.
struct Span {
    double lo = std::numeric_limits<double>::infinity(), hi = -std::numeric_limits<double>::infinity();
    std::size_t n_missing = 0;
};

// Over values[i] for i < m, `at(i)` giving each: kept in registers, not in
// the Span, so that no step waits on a store of the one before.
template <class At>
inline Span span_over(std::size_t m, At at) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double v = at(i);
        n_missing += v != v;
        lo = v < lo ? v : lo;  // NaN compares false: kept out
        hi = v > hi ? v : hi;
    }
    return Span{lo, hi, n_missing};
}

inline Span span_of(const double* values, std::size_t m) {
    return span_over(m, [values](std::size_t i) { return values[i]; });
}

// Column f's values on `rows` into `out`, and their span, in one pass.
inline Span gather_span(const RowView& x, std::int64_t f, const std::uint32_t* rows, std::size_t m, double* out) {
    // The rows are scattered: their values are asked for well ahead.
    constexpr std::size_t kAhead = 16;
    return span_over(m, [&x, f, rows, m, out](std::size_t i) {
        if (i + kAhead < m) __builtin_prefetch(&x.data[static_cast<std::ptrdiff_t>(rows[i + kAhead]) * x.row_stride + f * x.col_stride]);
        const double v = x.at(rows[i], f);
        out[i] = v;
        return v;
    });
}

// Scratch of one thread, reused across nodes.
class RandomSearch {
public:
    // `values`: the column's values on the node's m rows in any order,
    // `codes` their class codes and `weights` their weights (null: unit
    // weights), in the same order; `draws` are the feature's own at the node.
    void numeric(const SearchShared& sh, std::int64_t f, const double* values, const std::uint16_t* codes,
                 const double* weights, std::size_t m, const NodeStats& node, Draws& draws, Candidate& best);
    // The same with the values' span known (as span_of() gives it).
    void numeric(const SearchShared& sh, std::int64_t f, const double* values, const std::uint16_t* codes,
                 const double* weights, std::size_t m, const Span& span, const NodeStats& node, Draws& draws,
                 Candidate& best);
    // numeric() over a node of m rows of a sparse column (`run` its stored
    // entries): the same draws and the same class weights.
    void sparse_numeric(const SearchShared& sh, std::int64_t f, const SparseRun& run, std::size_t m,
                        const NodeStats& node, Draws& draws, Candidate& best);
    // As FeatureSearch::categorical.
    void categorical(const SearchShared& sh, std::int64_t f, const std::uint32_t* rows, std::size_t m,
                     const NodeStats& node, Draws& draws, Candidate& best);
    // The numeric split of draw_numeric_split (threshold, missing_left, of
    // a column with n_missing values missing) whose left side holds n_left
    // rows of class weights `left` and weight wl, judged as numeric() judges
    // its own.
    void judge_numeric(const SearchShared& sh, std::int64_t f, const double* left, double wl, std::int64_t n_left,
                       double threshold, bool missing_left, std::size_t n_missing, const NodeStats& node,
                       Candidate& best);
    // categorical() over counts already made, laid out as
    // FeatureSearch::categorical_counts reads them.
    void categorical_counts(const SearchShared& sh, std::size_t k, const double* table, const NodeStats& node,
                            Draws& draws, Candidate& best);

private:
    // Judges the split whose left side (n_left rows) has the class weights
    // left_; records it in `best` when admissible and strictly better.
    bool settle(const SearchShared& sh, const NodeStats& node, std::int8_t monotonic, std::int64_t n_left,
                Candidate& best);
    // The rest of judge_numeric, once left_ and weight_left_ hold the left side.
    void settle_numeric(const SearchShared& sh, std::int64_t f, std::int64_t n_left, double threshold,
                        bool missing_left, std::size_t n_missing, const NodeStats& node, Candidate& best);
    // Draws the side of each of present_'s categories into side_ (1 left,
    // 2 right); returns the side of the missing values, when there are any.
    bool draw_sides(bool has_missing, Draws& draws);
    // Judges the subset of side_, with n_left rows of class weights left_ on
    // the left, and records it as the category order's prefix.
    void settle_subset(const SearchShared& sh, const NodeStats& node, std::int64_t n_left, bool has_missing,
                       bool missing_left, Candidate& best);
    void add(const SearchShared& sh, std::uint32_t row);

    std::vector<double> left_, right_;
    double weight_left_ = 0.0;
    std::vector<std::uint8_t> side_;  // per category: 0 absent, 1 left, 2 right
    std::vector<std::int32_t> present_;
};

// Whether a numeric column with n_missing of m values missing and the
// others in [lo, hi] is constant: every value missing, or none missing and
// all within kFeatureThreshold.
inline bool constant_span(double lo, double hi, std::size_t n_missing, std::size_t m) {
    return n_missing == m || (n_missing == 0 && hi <= lo + kFeatureThreshold);
}

// Adds a cell of merged counts (n class weights, then rows) to the left
// side's class weights, weight and rows.
inline void add_counts(const double* cell, std::size_t n, double* left, double& weight_left, std::int64_t& n_left) {
    for (std::size_t j = 0; j < n; ++j) {
        left[j] += cell[j];
        weight_left += cell[j];
    }
    n_left += static_cast<std::int64_t>(cell[n]);
}

// The random split of a numeric column whose n_missing of m values are
// missing and the others in [lo, hi]: false when the column is constant;
// else a threshold drawn in [lo, hi) and the side the missing values go to.
bool draw_numeric_split(double lo, double hi, std::size_t n_missing, std::size_t m, Draws& draws, double& threshold,
                        bool& missing_left);

// Whether numeric column f is constant on a node's m rows, in any order
// (as constant_values() for sorted entries); stops at the first sign that
// it is not.
bool constant_numeric(const RowView& x, std::int64_t f, const std::uint32_t* rows, std::size_t m);

// Whether a categorical column holds one value (one category, or missing
// only) on a node's m rows.
bool constant_categories(const RowView& x, std::int64_t f, std::int64_t n_categories, const std::uint32_t* rows,
                         std::size_t m);

}  // namespace tavrin::kernels::learner
