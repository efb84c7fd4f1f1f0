// A fitted tree of Node objects in the flat form the row walk reads, made
// one node at a time: all at once (flatten) or as rows first reach each
// node (predict/node_walk). A tree is plain when every node read is a Node
// with the attribute types growth writes; anything else is left to the
// step-by-step path.
#pragma once

#include "kernels/tree_walk.hpp"
#include "runtime/ref.hpp"

#include <vector>

namespace tavrin::predict {

struct Leaf {
    rt::Ref predicted_class;
    rt::Ref probability;
    rt::Ref complement;  // 1 - probability
    bool first_class = false;
};

// The tree, flattened; strings of text category sets numbered in `texts`.
struct Flat {
    kernels::WalkTree tree;
    std::vector<Leaf> leaves;
    rt::Ref texts;  // dict: str -> id
};

// Reads the Node `node` into `w`, a node of flat.tree, leaving its
// children unset. Returns 1 for a split (its children in `left` and
// `right`), 2 for a leaf (added to flat.leaves), 0 when the node is not
// plain (no error set), -1 on error. flat.texts must exist.
int read_node(PyObject* node, PyObject* node_class, Py_ssize_t n_columns, Flat& flat,
              kernels::WalkNode& w, rt::Ref& left, rt::Ref& right);

// The whole tree under `root`, left subtree numbered first: 1 flattened,
// 0 not a plain tree (a node shared or in a cycle included), -1 error.
int flatten(PyObject* root, PyObject* node_class, Py_ssize_t n_columns, Flat& flat);

// A row value as the walk compares it; strings are numbered by `texts`,
// so describe them only once the nodes that compare them are read.
kernels::Cell describe(PyObject* v, PyObject* texts);

}  // namespace tavrin::predict
