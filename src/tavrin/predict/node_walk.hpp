// The walk of a few rows over the Node objects themselves: each node is
// read into the flat form when a row first reaches it, so a call costs
// what its rows' paths cost, not what the whole tree does. It declines
// exactly where flattening the whole tree would for the rows at hand: at
// a node that is not plain, a node reached twice (shared or in a cycle),
// or a value a node cannot compare plainly. Nodes no row reaches are never
// read, as the row-by-row walk never reads them.
#pragma once

#include "predict/flat_tree.hpp"

#include <unordered_set>

namespace tavrin::predict {

// The nodes read so far into `flat`, and the children not yet read.
class NodeReader {
public:
    NodeReader(PyObject* node_class, Py_ssize_t n_columns, Flat& flat)
        : node_class_(node_class), n_columns_(n_columns), flat_(flat) {}

    // Reads the root as node 0: 1 read, 0 not plain, -1 error.
    int start(PyObject* root);
    // Sets `out` to the child of node `at` on the left (or right) side,
    // reading it first if no row has reached it yet: 1 read, 0 not plain,
    // -1 error.
    int child(std::int32_t at, bool left, std::int32_t& out);

private:
    int read(rt::Ref node, std::int32_t& id);

    PyObject* node_class_;
    Py_ssize_t n_columns_;
    Flat& flat_;
    std::vector<rt::Ref> held_;    // every node read: `seen_` names live objects
    std::vector<rt::Ref> unread_;  // [2 * id + (0 left, 1 right)]: children not yet read
    std::unordered_set<PyObject*> seen_;
};

// Writes the leaf each of rows [0, rows) reaches into `leaves`.
// `cell(row, column, texts)` describes a row value when a node compares
// it (the node's category texts are numbered in `texts` by then). Returns
// 1 when every row arrived, 0 when the step-by-step path must answer, -1
// on error.
template <class CellAt>
int walk_reading(NodeReader& reader, const Flat& flat, std::size_t rows, const CellAt& cell,
                 std::int32_t* leaves) {
    for (std::size_t r = 0; r < rows; ++r) {
        std::int32_t at = 0;
        for (;;) {
            // A reference into the nodes lasts only until the next read.
            const kernels::WalkNode& node = flat.tree.nodes[static_cast<std::size_t>(at)];
            if (node.leaf >= 0) {
                leaves[r] = node.leaf;
                break;
            }
            const int go_left = kernels::goes_left(
                flat.tree, node, cell(r, static_cast<std::size_t>(node.feature), flat.texts.get()));
            if (go_left < 0) return 0;
            const int read = reader.child(at, go_left == 1, at);
            if (read <= 0) return read;
        }
    }
    return 1;
}

}  // namespace tavrin::predict
