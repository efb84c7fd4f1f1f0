// The configurable learner on its own: the presort against a plain stable
// sort, the partitions against std::stable_partition, small trees worked by hand (a threshold, missing values alone on
// one side, a category subset, the leaf budget), the tree check, the
// input check, and two threads giving the one-thread tree.
#include "kernels/learner/learner.hpp"
#include "kernels/learner/pool.hpp"
#include "kernels/learner/presort.hpp"
#include "kernels/partition.hpp"

#include "check.hpp"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <limits>
#include <new>
#include <random>
#include <vector>

using namespace tavrin::kernels::learner;

namespace {

const double kNaN = std::nan("");

struct Data {
    std::vector<double> x;  // row-major, `cols` columns
    std::vector<std::int64_t> y, cats;
    std::size_t cols;
    LearnerData view() const {
        LearnerData d;
        d.rows = y.size();
        d.cols = cols;
        d.x = RowView{x.data(), static_cast<std::ptrdiff_t>(cols), 1};
        d.y = y.data();
        d.n_classes = 1 + *std::max_element(y.begin(), y.end());
        d.n_categories = cats.data();
        return d;
    }
};

FlatTree grow(const Data& data, LearnerParams params = {}) {
    FlatTree t;
    const LearnerData d = data.view();
    CHECK(check_input(d, params).empty());
    fit(d, params, t);
    CHECK(check_tree(t).empty());
    return t;
}

// Both partitions of 64-bit entries, and each half of one: the side kept
// holds what std::stable_partition puts there, in its order.
void partitions_match_stable_partition() {
    std::mt19937 rng(5);
    for (std::size_t m : {0, 1, 2, 7, 64, 1000}) {
        std::vector<std::uint64_t> entries(m);
        for (std::uint64_t& e : entries) e = rng();
        auto left = [](std::uint64_t e) { return (e >> 17) % 3 == 0; };
        std::vector<std::uint64_t> want(entries);
        const std::size_t n_left =
            static_cast<std::size_t>(std::stable_partition(want.begin(), want.end(), left) - want.begin());
        std::vector<std::uint64_t> got(entries), spill(m);
        CHECK(tavrin::kernels::stable_partition(got.data(), m, left, spill.data()) == n_left);
        CHECK(got == want);
        got = entries;
        tavrin::kernels::stable_keep(got.data(), m, false, left);
        CHECK(std::equal(got.begin(), got.begin() + n_left, want.begin()));
        got = entries;
        tavrin::kernels::stable_keep(got.data(), m, true, [&](std::uint64_t e) { return !left(e); });
        CHECK(std::equal(got.begin() + n_left, got.end(), want.begin() + n_left));
    }
}

void presort_matches_stable_sort() {
    std::mt19937 rng(3);
    std::vector<double> v;
    for (int i = 0; i < 3000; ++i) v.push_back(std::uniform_int_distribution<int>(-50, 50)(rng) * 0.25);
    // A long run of values one rounding to single precision cannot tell apart.
    for (int i = 0; i < 200; ++i) v.push_back(1.0 + (i * 7919 % 200) * 1e-12);
    v.push_back(-0.0);
    v.push_back(0.0);
    v.push_back(kNaN);
    v.push_back(-1e300);
    std::shuffle(v.begin(), v.end(), rng);
    v.push_back(kNaN);
    std::vector<std::uint32_t> rows(v.size()), want(v.size()), got;
    for (std::uint32_t r = 0; r < rows.size(); ++r) rows[r] = want[r] = r;
    std::stable_sort(want.begin(), want.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (std::isnan(v[a]) || std::isnan(v[b])) return !std::isnan(v[a]) && std::isnan(v[b]);
        return v[a] < v[b];
    });
    PresortScratch scratch;
    std::vector<float> approx;
    presort_rows(RowView{v.data(), 1, 1}, 0, rows, got, approx, scratch);
    CHECK(got == want);
    CHECK(approx.size() == got.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        const float f = static_cast<float>(v[got[k]]);
        CHECK(approx[k] == f || (std::isnan(approx[k]) && std::isnan(f)));
    }
}

void worked_trees() {
    // One threshold between 2 and 3; the root's gini is 0.5.
    const FlatTree t = grow({{1, 2, 3, 4}, {0, 0, 1, 1}, {0}, 1});
    CHECK(t.node_count() == 3 && t.feature[0] == 0 && t.threshold[0] == 2.5);
    CHECK(t.impurity[0] == 0.5 && t.value[2] == 2.0 && t.value[5] == 2.0);
    CHECK(t.missing_left[0] == 0);  // no missing value seen, sides equal: right

    // Missing rows alone on the right: every value goes left (threshold inf).
    const FlatTree m = grow({{1, 2, kNaN, kNaN, 3}, {0, 0, 1, 1, 0}, {0}, 1});
    CHECK(m.node_count() == 3 && std::isinf(m.threshold[0]) && m.missing_left[0] == 0);
    CHECK(m.n_node_samples[1] == 3 && m.n_node_samples[2] == 2);

    // Categories 1 and 3 hold class 0 only, 0 and 2 class 1 only: the subset
    // {1, 3} goes left. Categories never seen go with missing values, and
    // those, never seen either, to the larger side: left.
    const FlatTree c = grow({{0, 1, 2, 3, 1}, {1, 0, 1, 0, 0}, {70}, 1});
    CHECK(c.node_count() == 3 && c.is_categorical[0] == 1 && c.words_of(0) == 2 && c.missing_left[0] == 1);
    CHECK(c.category_bits.size() == 2 && c.category_offset[0] == 0 && c.category_offset[1] == -1);
    CHECK(c.category_bits[0] == ~std::uint64_t{0b0101} && c.category_bits[1] == ~std::uint64_t{0});
    CHECK(std::isnan(c.threshold[0]));

    // Entropy in bits.
    LearnerParams entropy;
    entropy.criterion = Criterion::entropy;
    CHECK(grow({{1, 2, 3, 4}, {0, 0, 1, 1}, {0}, 1}, entropy).impurity[0] == 1.0);
}

void stopping_rules() {
    Data d{{}, {}, {0, 0}, 2};
    std::mt19937 rng(5);
    for (int i = 0; i < 400; ++i) {
        const double a = i, b = (i * 37) % 400;
        d.x.push_back(a);
        d.x.push_back(b);
        d.y.push_back((static_cast<int>(a) / 50 + static_cast<int>(b) / 80 + (rng() % 5 == 0)) % 2);
    }
    LearnerParams p;
    p.max_leaf_nodes = 7;
    CHECK(tree_leaves(grow(d, p)) == 7);
    p = {};
    p.max_depth = 3;
    CHECK(tree_depth(grow(d, p)) == 3);
    p = {};
    p.min_samples_leaf = 30;
    p.min_samples_split = 60;
    const FlatTree t = grow(d, p);
    for (std::size_t i = 0; i < t.node_count(); ++i) CHECK(t.n_node_samples[i] >= 30);
    p = {};
    p.min_impurity_decrease = 1.0;  // more than any gini decrease
    CHECK(grow(d, p).node_count() == 1);

    // Two threads: the same tree to the bit (the search compares features
    // in column order either way).
    Data big{{}, {}, {0, 0, 0, 3}, 4};
    for (int i = 0; i < 30000; ++i) {
        for (int f = 0; f < 3; ++f) big.x.push_back(std::uniform_real_distribution<double>(0, 1)(rng));
        big.x.push_back(static_cast<double>(rng() % 3));
        big.y.push_back((big.x[i * 4] + big.x[i * 4 + 1] + 0.3 * big.x[i * 4 + 3] > 1.2) ^ (rng() % 7 == 0));
    }
    LearnerParams one, two;
    two.n_threads = 2;
    const FlatTree a = grow(big, one), b = grow(big, two);
    CHECK(a.left == b.left && a.feature == b.feature && a.threshold.size() == b.threshold.size());
    CHECK(a.category_offset == b.category_offset && a.category_bits == b.category_bits && a.value == b.value);
    for (std::size_t i = 0; i < a.node_count(); ++i)
        CHECK(a.threshold[i] == b.threshold[i] || (std::isnan(a.threshold[i]) && std::isnan(b.threshold[i])));
}

void checks_refuse() {
    Data d{{1, 2, 3}, {0, 1, 0}, {0}, 1};
    LearnerData v = d.view();
    LearnerParams p;
    CHECK(check_input(v, p).empty());
    d.x[1] = INFINITY;
    CHECK(!check_input(d.view(), p).empty());
    Data c{{0, 1.5, 2}, {0, 1, 0}, {3}, 1};  // not a whole code
    CHECK(!check_input(c.view(), p).empty());
    Data y{{1, 2, 3}, {0, 1, 0}, {0}, 1};
    v = y.view();
    v.n_classes = 1;  // code 1 out of range
    CHECK(!check_input(v, p).empty());
    p.min_samples_split = 1;
    CHECK(!check_input(y.view(), p).empty());

    FlatTree t = grow({{1, 2, 3, 4}, {0, 0, 1, 1}, {0}, 1});
    FlatTree loop = t;
    loop.right[0] = 0;  // a child that is its own parent
    CHECK(!check_tree(loop).empty());
    FlatTree shared = t;
    shared.right[0] = shared.left[0];
    CHECK(!check_tree(shared).empty());
    FlatTree short_value = t;
    short_value.value.pop_back();
    CHECK(!check_tree(short_value).empty());
}

// Count parameters at the ends of an int64: a huge bound is as good as
// none and a huge minimum leaves the root alone, without arithmetic that
// overflows (the sanitizer build stops at any); a negative count is
// refused by name.
void extreme_counts() {
    const std::int64_t most = std::numeric_limits<std::int64_t>::max(), least = std::numeric_limits<std::int64_t>::min();
    Data d{{}, {}, {0, 0}, 2};
    for (int i = 0; i < 300; ++i) {
        d.x.push_back(i % 41);
        d.x.push_back((i * 7) % 13);
        d.y.push_back((i % 41 + (i * 7) % 13) % 3);
    }
    const FlatTree full = grow(d);
    CHECK(full.node_count() > 20);
    for (std::int64_t huge : {std::int64_t{1} << 62, most}) {
        LearnerParams p;
        p.max_depth = huge;
        p.n_threads = huge;
        const FlatTree t = grow(d, p);
        CHECK(t.left == full.left && t.feature == full.feature && t.value == full.value);
        p = {};
        p.max_leaf_nodes = huge;
        CHECK(tree_leaves(grow(d, p)) == tree_leaves(full));
        p = {};
        p.min_samples_leaf = huge;
        CHECK(grow(d, p).node_count() == 1);
        p = {};
        p.min_samples_split = huge;
        CHECK(grow(d, p).node_count() == 1);
    }
    const std::pair<std::int64_t LearnerParams::*, const char*> counts[] = {
        {&LearnerParams::max_depth, "max_depth"},           {&LearnerParams::min_samples_split, "min_samples_split"},
        {&LearnerParams::min_samples_leaf, "min_samples_leaf"}, {&LearnerParams::max_leaf_nodes, "max_leaf_nodes"},
        {&LearnerParams::n_threads, "n_threads"}};
    for (const auto& [field, name] : counts) {
        for (std::int64_t bad : {least, std::int64_t{-2}}) {
            LearnerParams p;
            p.*field = bad;
            CHECK(check_input(d.view(), p).find(name) != std::string::npos);
        }
    }
    for (std::int64_t bad : {least, std::int64_t{-1}, most}) {
        LearnerData v = d.view();
        v.n_classes = bad;
        CHECK(check_input(v, {}).find("n_classes") != std::string::npos);
        Data c = d;
        c.cats[1] = bad;
        CHECK(check_input(c.view(), {}).find("n_categories") != std::string::npos);
    }
}

// A job's exception reaches the caller of run() once every task is done,
// and the pool serves the next round.
void pool_passes_exceptions_on() {
    Pool pool(2);
    std::atomic<int> done{0};
    bool caught = false;
    try {
        pool.run(50, [&](std::size_t task, std::size_t) {
            if (task == 7) throw std::bad_alloc();
            ++done;
        });
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    CHECK(caught && done <= 49);  // tasks after the failure may be left
    const int before = done;
    pool.run(10, [&](std::size_t, std::size_t) { ++done; });
    CHECK(done == before + 10);
}

// Says stop at its first look, and counts its looks.
struct StopAtOnce : tavrin::kernels::CancelHook {
    int looks = 0;
    bool cancelled() override { return ++looks > 0; }
};

void cancel_hook_stops_growth() {
    // Enough work for the hook to be asked (every 10 ms of it at most).
    Data big{{}, {}, {0, 0}, 2};
    std::mt19937 rng(9);
    for (int i = 0; i < 400000; ++i) {
        big.x.push_back(std::uniform_real_distribution<double>(0, 1)(rng));
        big.x.push_back(std::uniform_real_distribution<double>(0, 1)(rng));
        big.y.push_back(static_cast<std::int64_t>(rng() % 2));
    }
    for (std::int64_t threads : {1, 2}) {
        LearnerParams p;
        p.n_threads = threads;
        StopAtOnce hook;
        FlatTree t;
        bool stopped = false;
        try {
            fit(big.view(), p, t, &hook);
        } catch (const Cancelled&) {
            stopped = true;
        }
        CHECK(stopped && hook.looks == 1);
    }
}

}  // namespace

int main() {
    pool_passes_exceptions_on();
    cancel_hook_stops_growth();
    presort_matches_stable_sort();
    partitions_match_stable_partition();
    worked_trees();
    stopping_rules();
    checks_refuse();
    extreme_counts();
    return kernel_test::finish();
}
