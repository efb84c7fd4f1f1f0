// The split search of the distributed fit, on the merged bin summaries of
// a batch of open nodes. A bin boundary is a real threshold and is scored
// exactly. Inside a bin the left class weights lie in the box between the
// weights before the bin and after it; the weighted impurity of the
// children is concave in them, so no split inside the bin does better than
// the best corner of that box. Only bins whose corners come near the best
// exact score need their exact values (bins_to_refine); choose_splits then
// scores every boundary and every value of those bins with the in-memory
// learner's criterion, rules and scan order (split_rule.hpp), so that the
// same split wins.
#pragma once

#include "kernels/learner/learner.hpp"
#include "kernels/learner/monotonic.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin::kernels::learner {

struct OpenNodes {
    std::size_t nodes = 0, cols = 0, n_bins = 0, n_classes = 0;
    const double* counts = nullptr;  // as NodeSummary::counts (histogram.hpp)
    // Per bin its smallest and largest value at the node (as NodeSummary
    // lists them), or bounds on them: lo at or below, hi at or above. A bound
    // serves where it keeps the bin's boundaries with its node's non-empty
    // neighbours apart (values_apart), the values themselves everywhere
    // else; bins whose bounds are apart are refined when they may win.
    const double* lo = nullptr;
    const double* hi = nullptr;
    const double* totals = nullptr;  // nodes x n_classes: the nodes' class weights
    const std::int64_t* n = nullptr;  // their rows
    const double* weight = nullptr;   // their total weights
    // Per feature: its categories, 0 for a numeric one (null: all numeric).
    // A categorical feature's bin b holds category b, and its search is
    // the in-memory learner's over the merged per-category counts.
    const std::int64_t* n_categories = nullptr;
    // Per node and feature (null: every feature): 1 where the node searches
    // the feature, as draw_searched draws them.
    const std::uint8_t* searched = nullptr;
    // Per node: its key (draws.hpp), which keys its random draws.
    const std::uint64_t* keys = nullptr;
    // Per node: the lower and upper bound of its value under monotonic
    // constraints (null: unbounded).
    const double* bounds = nullptr;
    // Per node and feature its smallest and largest value (null: read from
    // lo and hi, which are then the values themselves).
    const double* span = nullptr;
};

// The features each node searches when it searches max_features of them,
// drawn as the in-memory grower draws them (feature_draw.hpp), a feature's
// constancy read from the summaries. Node i's known constants are
// known[known_offsets[i] .. known_offsets[i + 1]); sets
// searched[i * cols + f] and appends its children's known constants to
// `constants`, then their end to `constant_offsets` (which starts at 0).
void draw_searched(const OpenNodes& nodes, const LearnerParams& params, const std::int64_t* known_offsets,
                   const std::int32_t* known, std::uint8_t* searched, std::vector<std::int64_t>& constant_offsets,
                   std::vector<std::int32_t>& constants);

// The impurity of each of k nodes and whether it stays a leaf without a
// search, by the in-memory learner's rules.
void node_stats(const LearnerParams& params, std::size_t k, std::size_t n_classes, const double* totals,
                const std::int64_t* n, const double* weight, const std::int64_t* depth, double* impurity,
                std::uint8_t* stops);

// Sets mask[(node * cols + f) * n_bins + b] to 1 for the bins whose exact
// values may hold the best split (random splits: the bin holding a drawn
// threshold between its values), 0 for the others.
void bins_to_refine(const OpenNodes& nodes, const LearnerParams& params, std::uint8_t* mask);

// What the refined bins hold, in mask order: per bin, entries
// offsets[k] .. offsets[k + 1] - 1 in value order, each one value
// (histogram.hpp's ValueLists, flattened) or, with `hi`, a run of values
// from values[e] to hi[e], the node's own smallest and largest.
struct RefinedBins {
    const std::int64_t* offsets = nullptr;
    const double* values = nullptr;
    const double* counts = nullptr;  // per entry: class weights, then rows
    const double* hi = nullptr;      // null: every entry one value
};

// After bins_to_refine, with runs of values for the bins it named: sets
// entry_mask[e] (zeroed by the caller) to 1 for the runs whose exact values
// may hold the best split (random splits: the run holding a drawn
// threshold between its values), as bins_to_refine judges bins.
void entries_to_refine(const OpenNodes& nodes, const LearnerParams& params, const std::uint8_t* mask,
                       const RefinedBins& refined, std::uint8_t* entry_mask);

struct ChosenSplit {
    std::int64_t feature = -1;  // -1: the node stays a leaf
    double threshold = 0.0;
    // A split between bins: a value goes left when its bin is below `bin`,
    // or is `bin` and the value at most bin_value (-1: by the threshold,
    // which is then exact). Its threshold is then the midpoint of the
    // largest value sent left and the smallest sent right, which `lo` and
    // `hi` may only bound.
    std::int64_t bin = -1;
    double bin_value = 0.0;
    bool missing_left = false;
    std::int64_t n_left = 0;
    double weight_left = 0.0;
    std::vector<double> left;  // class weights on the left
    double improvement = 0.0;
    // Categorical: the categories sent left, bit c % 64 of word c / 64, as
    // the tree stores them (categories the node lacks go with the missing
    // values).
    std::vector<std::uint64_t> categories;
    ValueBounds left_bounds, right_bounds;  // the children's, under monotonic constraints
};

// The split of each node (random splits: the best of the drawn ones), or
// none where no split is allowed or the best decreases the impurity by less than min_impurity_decrease.
// `total_weight`: the weight of every training row.
void choose_splits(const OpenNodes& nodes, const LearnerParams& params, const std::uint8_t* mask,
                   const RefinedBins& refined, const double* impurity, double total_weight,
                   std::vector<ChosenSplit>& out);

}  // namespace tavrin::kernels::learner
