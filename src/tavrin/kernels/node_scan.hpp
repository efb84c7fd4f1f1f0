// The split search of one node over one feature, for the whole-tree
// builder: the impurity of a scan position, the scan of a presorted
// numeric feature, and the per-node encoding and scan of a categorical
// feature.
#pragma once

#include "kernels/tree_builder.hpp"

#include <cstdint>
#include <vector>

namespace tavrin::kernels {

// The best split carried through a node's search.
struct NodeBest {
    double gini = 0.0;
    std::int32_t feature = -1;
    double threshold = 0.0;
    // Categorical: the node's ranks in code order, and whether that order
    // among equal means was settled by numpy.
    std::vector<std::int32_t> cat_order;
    bool cat_order_exact = true;
    std::vector<double> cat_means;           // per group, ascending rank
    std::vector<std::int32_t> cat_present;   // the rank of each group
};

// Weighted impurity of scan position i (rows 0 .. i-1 left) of a node of m
// rows, from the left and right class counts, by `rule`:
//   (i * gini_left + (m - i) * gini_right) / m
double position_gini(ImpurityRule rule, const long long* left, const long long* right,
                     std::size_t n_classes, long long i, long long m);

// Scratch space reused across nodes.
struct ScanScratch {
    std::vector<long long> left, right;
    std::vector<long long> group_rows, group_counts;  // per rank; per rank x class
    std::vector<std::int32_t> present, order;
    std::vector<double> means;
    std::vector<double> inverse;  // inverse[k] = 1.0 / k for k = 1 .. rows
    std::vector<double> values;        // a node's values in sorted order
    std::vector<unsigned char> ones;   // and whether each row is of code 1
    std::vector<std::int32_t> node_codes;  // or its class code
    std::vector<unsigned char> row_is_one;  // by row: class code 1 (two classes only)
};

// Scans the node's rows `sorted` (m rows, ascending by the feature, NaN
// last) of numeric column `col` at position `feature`; `sorted_values`,
// when not null, holds their values in that order.
void scan_numeric(const BuildInput& in, const BuildColumn& col, std::int32_t feature,
                  const std::uint32_t* sorted, const double* sorted_values, std::size_t m,
                  const long long* totals, ScanScratch& s, NodeBest& best);

// Encodes categorical column `col` for the node's `rows` (any order) as
// the step-by-step growth does (groups by ascending category, ordered by
// mean class code) and scans its code boundaries. Returns false when the
// tie order was needed and could not be had.
bool scan_categorical(const BuildInput& in, const BuildColumn& col, std::int32_t feature,
                      const std::uint32_t* rows, std::size_t m, const long long* totals,
                      ScanScratch& s, NodeBest& best);

// Settles best.cat_order among equal means with numpy's order when it was
// not already; false when that order could not be had.
bool settle_category_order(const BuildInput& in, ScanScratch& s, NodeBest& best);

}  // namespace tavrin::kernels
