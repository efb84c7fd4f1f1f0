// Category membership as numpy's `value in array` answers it for the
// array kinds growth writes: text in an object array of strings, numbers in
// int64 or float64 arrays (compared as numpy promotes them).
#include "kernels/tree_walk.hpp"

namespace tavrin::kernels {

int category_member(const WalkTree& tree, const CategorySet& set, const Cell& cell) {
    if (cell.kind == Cell::other) return -1;
    if (cell.kind == Cell::nothing) return 0;
    switch (set.kind) {
        case CategorySet::text: {
            if (cell.kind != Cell::text) return 0;  // a string equals no number
            if (cell.text_id < 0) return 0;
            for (std::uint32_t k = 0; k < set.count; ++k)
                if (tree.text_ids[set.begin + k] == cell.text_id) return 1;
            return 0;
        }
        case CategorySet::integer: {
            if (cell.kind != Cell::number) return -1;
            for (std::uint32_t k = 0; k < set.count; ++k) {
                const long long c = tree.integers[set.begin + k];
                if (cell.is_int ? c == cell.integer : static_cast<double>(c) == cell.real) return 1;
            }
            return 0;
        }
        default: {
            if (cell.kind != Cell::number) return -1;
            for (std::uint32_t k = 0; k < set.count; ++k)
                if (tree.reals[set.begin + k] == cell.real) return 1;
            return 0;
        }
    }
}

}  // namespace tavrin::kernels
