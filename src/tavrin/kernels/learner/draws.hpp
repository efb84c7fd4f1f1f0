// Random draws keyed by where they are used, not by when: a draw is a hash
// of the fit's seed, the node's key, a stream (0: the node's choice of
// features, f + 1: feature f's own draws) and a counter. A node's key
// follows from its parent's and its side, so the same seed gives the same
// draws at the same node whatever order the nodes are grown in and
// whichever thread searches them.
#pragma once

#include <cstdint>

namespace tavrin::kernels::learner {

// SplitMix64's finaliser: a bijection of 64-bit words whose output bits
// each depend on every input bit.
inline std::uint64_t mix64(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

constexpr std::uint64_t kRootKey = 1;

inline std::uint64_t child_key(std::uint64_t parent, bool left) {
    return mix64(parent ^ (left ? 0x6A09E667F3BCC909u : 0xBB67AE8584CAA73Bu));
}

class Draws {
public:
    Draws(std::uint64_t seed, std::uint64_t node_key, std::uint64_t stream)
        : base_(mix64(mix64(seed ^ node_key) ^ stream)) {}

    std::uint64_t next() { return mix64(base_ + 0xD1B54A32D192ED03u * ++counter_); }

    // Uniform in [lo, hi), lo < hi (the high half of a 128-bit product:
    // a bias below range / 2**64).
    std::int64_t integer(std::int64_t lo, std::int64_t hi) {
        const std::uint64_t range = static_cast<std::uint64_t>(hi - lo);
        const unsigned __int128 wide = static_cast<unsigned __int128>(next()) * range;
        return lo + static_cast<std::int64_t>(wide >> 64);
    }

    // Uniform in [0, 1), in steps of 2**-53.
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }

    bool coin() { return (next() >> 63) != 0; }

private:
    std::uint64_t base_;
    std::uint64_t counter_ = 0;
};

}  // namespace tavrin::kernels::learner
