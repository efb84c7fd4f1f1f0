// Reading Node objects into the flat tree as rows reach them.
#include "predict/node_walk.hpp"

namespace tavrin::predict {

namespace {

// A side of a split whose child no row has reached yet.
constexpr std::int32_t kUnread = -2;

}  // namespace

int NodeReader::start(PyObject* root) {
    std::int32_t id = 0;
    return read(rt::Ref::borrow(root), id);
}

int NodeReader::read(rt::Ref node, std::int32_t& id) {
    if (!seen_.insert(node.get()).second) return 0;
    id = static_cast<std::int32_t>(flat_.tree.nodes.size());
    flat_.tree.nodes.emplace_back();
    rt::Ref left, right;
    const int kind = read_node(node.get(), node_class_, n_columns_, flat_, flat_.tree.nodes.back(), left, right);
    held_.push_back(std::move(node));
    if (kind <= 0) return kind;
    unread_.resize(2 * static_cast<std::size_t>(id) + 2);
    if (kind == 1) {
        kernels::WalkNode& w = flat_.tree.nodes.back();
        w.left = w.right = kUnread;
        unread_[2 * static_cast<std::size_t>(id)] = std::move(left);
        unread_[2 * static_cast<std::size_t>(id) + 1] = std::move(right);
    }
    return 1;
}

int NodeReader::child(std::int32_t at, bool left, std::int32_t& out) {
    const auto side = [&]() -> std::int32_t& {
        kernels::WalkNode& w = flat_.tree.nodes[static_cast<std::size_t>(at)];
        return left ? w.left : w.right;
    };
    if (side() != kUnread) {
        out = side();
        return 1;
    }
    rt::Ref node = std::move(unread_[2 * static_cast<std::size_t>(at) + (left ? 0 : 1)]);
    std::int32_t id = 0;
    const int ok = read(std::move(node), id);
    if (ok <= 0) return ok;
    side() = id;  // looked up again: reading grew the nodes
    out = id;
    return 1;
}

}  // namespace tavrin::predict
