// The fast path's output: the built tree as Node objects, and the category
// encodings that the step-by-step growth leaves in feature_value_maps.
#pragma once

#include "estimator/fast/data.hpp"
#include "kernels/tree_builder.hpp"
#include "runtime/ref.hpp"

#include <vector>

namespace tavrin::estimator {

// Makes the Node objects of `tree` (root into `root`), with the attribute
// values and types that growth writes. `labels` maps class codes to target
// values, `positions` holds the column position objects. -1 on error.
int make_nodes(const kernels::BuiltTree& tree, const FastData& data,
               const std::vector<rt::Ref>& labels, const std::vector<rt::Ref>& positions,
               kernels::ImpurityRule rule, rt::Ref& root);

// Formats every categorical feature, in column order, through
// self._format_categorical on the rows of the last searched node: what
// growth leaves in feature_value_maps. X is the training matrix, or with
// `X_is_frame` the frame it would be the values of. -1 on error.
int restore_value_maps(PyObject* self, PyObject* X, bool X_is_frame, PyObject* y,
                       const kernels::BuiltTree& tree, const FastData& data,
                       const std::vector<rt::Ref>& positions);

}  // namespace tavrin::estimator
