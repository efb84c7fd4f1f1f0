// The features a node searches when it searches only max_features of them,
// drawn as scikit-learn's splitters draw them: without replacement, one at
// a time, until max_features are drawn and one of them is not constant at
// the node, or no feature is left that could be. Features found constant
// at a node are constant at its descendants: they are handed down as
// `known`, and a drawn known constant counts as drawn without a look at
// the data.
#pragma once

#include "kernels/learner/draws.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace tavrin::kernels::learner {

// `known`: the node's known constants, in the order handed down. On
// return `chosen` holds the drawn features that are not constant,
// ascending, and `constants` the node's known constants followed by those
// found constant here (its children's known ones). `is_constant(f)` looks
// at the data. `features` and `is_known` are scratch, kept between calls.
template <class IsConstant>
void draw_features(std::size_t n_features, std::int64_t max_features, const std::vector<std::int32_t>& known,
                   Draws& draws, const IsConstant& is_constant, std::vector<std::int32_t>& chosen,
                   std::vector<std::int32_t>& constants, std::vector<std::int32_t>& features,
                   std::vector<std::uint8_t>& is_known) {
    // features[0, n_known): known constants, then the others in column order.
    features.assign(known.begin(), known.end());
    is_known.assign(n_features, 0);
    for (std::int32_t f : known) is_known[static_cast<std::size_t>(f)] = 1;
    for (std::size_t f = 0; f < n_features; ++f)
        if (!is_known[f]) features.push_back(static_cast<std::int32_t>(f));
    const std::int64_t n_known = static_cast<std::int64_t>(known.size());
    std::int64_t f_i = static_cast<std::int64_t>(n_features), n_drawn_constants = 0, n_found_constants = 0;
    std::int64_t n_total_constants = n_known, n_visited = 0;
    chosen.clear();
    // Invariant: features[0, n_drawn_constants) are known constants drawn;
    // [n_drawn_constants, n_known) known constants not drawn yet;
    // [n_known, n_total_constants) found constant here; [n_total_constants,
    // f_i) not drawn yet; [f_i, n_features) drawn and not constant.
    while (f_i > n_total_constants &&
           (n_visited < max_features || n_visited <= n_found_constants + n_drawn_constants)) {
        ++n_visited;
        std::int64_t f_j = draws.integer(n_drawn_constants, f_i - n_found_constants);
        if (f_j < n_known) {
            std::swap(features[static_cast<std::size_t>(n_drawn_constants)], features[static_cast<std::size_t>(f_j)]);
            ++n_drawn_constants;
            continue;
        }
        f_j += n_found_constants;
        const std::int32_t f = features[static_cast<std::size_t>(f_j)];
        if (is_constant(f)) {
            std::swap(features[static_cast<std::size_t>(f_j)], features[static_cast<std::size_t>(n_total_constants)]);
            ++n_found_constants;
            ++n_total_constants;
            continue;
        }
        --f_i;
        std::swap(features[static_cast<std::size_t>(f_i)], features[static_cast<std::size_t>(f_j)]);
        chosen.push_back(f);
    }
    std::sort(chosen.begin(), chosen.end());
    constants = known;
    constants.insert(constants.end(), features.begin() + n_known, features.begin() + n_total_constants);
}

}  // namespace tavrin::kernels::learner
