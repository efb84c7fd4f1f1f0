// The whole-tree builder and the row walk on their own: the worked
// examples of growth (numeric and categorical), the depth limit, the
// one-sided split that stays a leaf, the last searched node, when numpy's
// tie order is asked for, and the walk's membership rules.
#include "kernels/tree_builder.hpp"
#include "kernels/tree_walk.hpp"

#include "check.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

using namespace tavrin::kernels;

namespace {

BuildColumn numeric(const std::vector<double>& v) {
    BuildColumn c;
    c.data = reinterpret_cast<const char*>(v.data());
    c.stride = sizeof(double);
    return c;
}

BuildColumn categorical(const std::vector<std::int32_t>& ranks, std::int32_t n_ranks) {
    BuildColumn c;
    c.categorical = true;
    c.ranks = ranks.data();
    c.n_ranks = n_ranks;
    return c;
}

// Records the tie questions and answers with the reversed stable order.
struct ReversedTies : TieOrder {
    int asked = 0;
    bool order(const std::vector<double>& means, std::vector<std::int32_t>& out) override {
        ++asked;
        out.clear();
        for (std::size_t k = 0; k < means.size(); ++k) out.push_back(static_cast<std::int32_t>(k));
        // Ascending by mean; equal means in descending group order.
        for (std::size_t a = 0; a < out.size(); ++a)
            for (std::size_t b = a + 1; b < out.size(); ++b)
                if (means[out[b]] < means[out[a]] || (means[out[b]] == means[out[a]] && out[b] > out[a]))
                    std::swap(out[a], out[b]);
        return true;
    }
};

BuildInput input(std::size_t rows, const std::vector<std::int32_t>& codes, std::size_t n_classes,
                 std::vector<BuildColumn> cols, TieOrder* ties = nullptr) {
    BuildInput in;
    in.rows = rows;
    in.codes = codes.data();
    in.n_classes = n_classes;
    in.columns = std::move(cols);
    in.depth_limit = 1LL << 40;
    in.ties = ties;
    return in;
}

void numeric_worked_example() {
    // Values 1, 2, 3, 4 with classes 0, 0, 1, 1: one split at 2.5.
    std::vector<double> x{1, 2, 3, 4};
    std::vector<std::int32_t> y{0, 0, 1, 1};
    BuiltTree t;
    CHECK(build_tree(input(4, y, 2, {numeric(x)}), t) == BuildStatus::ok);
    CHECK(t.nodes.size() == 3);
    CHECK(t.nodes[0].feature == 0 && t.nodes[0].threshold == 2.5);
    CHECK(t.nodes[0].predicted == 0 && t.nodes[0].majority == 2 && t.nodes[0].total == 4);
    CHECK(t.nodes[0].left == 1 && t.nodes[0].right == 2);
    CHECK(t.nodes[1].predicted == 0 && t.nodes[2].predicted == 1 && t.nodes[2].majority == 2);
    // Both children are pure with two rows: searched, the right one last.
    CHECK(t.searched && t.last_searched_rows == (std::vector<std::uint32_t>{2, 3}));
    CHECK(t.depth == 1);

    BuildInput limited = input(4, y, 2, {numeric(x)});
    limited.depth_limit = 0;
    CHECK(build_tree(limited, t) == BuildStatus::ok);
    CHECK(t.nodes.size() == 1 && !t.searched);
}

void categorical_worked_example() {
    // Categories u, u, v, w, w (ranks 0, 0, 1, 2, 2) with classes 1, 0, 0,
    // 1, 1: means v 0.0, u 0.5, w 1.0, codes v 0, u 1, w 2, threshold 1.5;
    // v and u go left, in that order.
    std::vector<std::int32_t> c{0, 0, 1, 2, 2};
    std::vector<std::int32_t> y{1, 0, 0, 1, 1};
    BuiltTree t;
    CHECK(build_tree(input(5, y, 2, {categorical(c, 3)}), t) == BuildStatus::ok);
    CHECK(t.nodes[0].feature == 0 && t.nodes[0].threshold == 1.5);
    CHECK(t.nodes[0].cat_count == 2);
    CHECK(t.cat_ranks[t.nodes[0].cat_begin] == 1 && t.cat_ranks[t.nodes[0].cat_begin + 1] == 0);
    CHECK(t.nodes[0].predicted == 1 && t.nodes[0].majority == 3);
    const BuiltNode& left = t.nodes[static_cast<std::size_t>(t.nodes[0].left)];
    CHECK(left.total == 3 && left.predicted == 0 && left.majority == 2);
}

void one_sided_split_stays_a_leaf() {
    // 1e308 and 1.7e308: their midpoint overflows to inf, which sends
    // every row left.
    std::vector<double> x{1e308, 1.7e308};
    std::vector<std::int32_t> y{0, 1};
    BuiltTree t;
    CHECK(build_tree(input(2, y, 2, {numeric(x)}), t) == BuildStatus::ok);
    CHECK(t.nodes.size() == 1 && t.nodes[0].feature == -1 && t.searched);
    // NaN rows never make a candidate.
    std::vector<double> z{NAN, 1.0, NAN};
    std::vector<std::int32_t> y3{1, 0, 1};
    CHECK(build_tree(input(3, y3, 2, {numeric(z)}), t) == BuildStatus::ok);
    CHECK(t.nodes.size() == 1);
}

void tie_order_is_asked_only_when_it_matters() {
    // Two classes: groups 0 and 1 both pure class 0 (mean 0), group 2 pure
    // class 1. Splitting inside the block of equal means cannot win, so
    // numpy is not asked while scanning; the chosen split lists both
    // groups of the block, so their order is asked once.
    std::vector<std::int32_t> c{0, 0, 1, 1, 2, 2};
    std::vector<std::int32_t> y{0, 0, 0, 0, 1, 1};
    ReversedTies ties;
    BuiltTree t;
    CHECK(build_tree(input(6, y, 2, {categorical(c, 3)}, &ties), t) == BuildStatus::ok);
    CHECK(ties.asked == 1);
    CHECK(t.nodes[0].threshold == 1.5 && t.nodes[0].cat_count == 2);
    CHECK(t.cat_ranks[0] == 1 && t.cat_ranks[1] == 0);  // the tie order given back

    // Three classes: equal means need not mean equal shares; asked at once.
    std::vector<std::int32_t> y3{0, 2, 1, 1, 0, 0};
    ReversedTies ties3;
    CHECK(build_tree(input(6, y3, 3, {categorical(c, 3)}, &ties3), t) == BuildStatus::ok);
    CHECK(ties3.asked >= 1);

    // Without an answer the build is abandoned.
    CHECK(build_tree(input(6, y3, 3, {categorical(c, 3)}, nullptr), t) == BuildStatus::abandoned);
}

// Values kept beside the rows, or gathered by row: the same tree, node for
// node, for both rules and with missing values, ties and a categorical
// column in between.
void values_beside_rows_change_nothing() {
    const std::size_t n = 3000;
    std::vector<double> a(n), b(n);
    std::vector<std::int32_t> ranks(n), codes(n);
    std::uint32_t state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u, (state >> 8) % 1000; };
    for (std::size_t r = 0; r < n; ++r) {
        a[r] = static_cast<double>(next() % 50) / 4.0;
        b[r] = r % 17 == 0 ? NAN : static_cast<double>(next());
        ranks[r] = static_cast<std::int32_t>(next() % 6) - 1;
        codes[r] = static_cast<std::int32_t>((next() + (a[r] > 6.0 ? 400 : 0)) % 3);
    }
    for (std::size_t classes : {2, 3}) {
        for (ImpurityRule rule : {ImpurityRule::two_class, ImpurityRule::all_classes}) {
            std::vector<std::int32_t> y(codes);
            for (auto& c : y) c %= static_cast<std::int32_t>(classes);
            BuiltTree trees[2];
            ReversedTies ties;
            for (int beside = 0; beside < 2; ++beside) {
                BuildInput in = input(n, y, classes, {numeric(a), categorical(ranks, 5), numeric(b)}, &ties);
                in.rule = rule;
                in.values_beside_rows = beside == 1;
                CHECK(build_tree(in, trees[beside]) == BuildStatus::ok);
            }
            // (Three classes weighed as two leave the root unsplit.)
            const bool deep = classes == 2 || rule == ImpurityRule::all_classes;
            CHECK(trees[0].nodes.size() == trees[1].nodes.size() && (!deep || trees[0].nodes.size() > 20));
            bool same = true;
            for (std::size_t k = 0; k < trees[0].nodes.size() && k < trees[1].nodes.size(); ++k) {
                const BuiltNode &x = trees[0].nodes[k], &z = trees[1].nodes[k];
                same = same && x.feature == z.feature && x.threshold == z.threshold && x.left == z.left &&
                       x.right == z.right && x.total == z.total && x.predicted == z.predicted;
            }
            CHECK(same);
            CHECK(trees[0].cat_ranks == trees[1].cat_ranks);
            CHECK(trees[0].last_searched_rows == trees[1].last_searched_rows);
        }
    }
}

struct Cells : CellMembership<Cells> {
    explicit Cells(std::vector<std::vector<Cell>> r) : rows(std::move(r)) {}
    std::vector<std::vector<Cell>> rows;
    Cell cell(std::size_t row, std::size_t column) const { return rows[row][column]; }
};

Cell number(double v) {
    Cell c;
    c.kind = Cell::number;
    c.real = v;
    return c;
}

void walk_rules() {
    WalkTree t;
    t.nodes.resize(5);
    t.nodes[0] = {1, 2, 0, false, 2.5, {}, -1};
    t.nodes[1].leaf = 0;
    t.nodes[2] = {3, 4, 1, true, 0.0, {CategorySet::text, 0, 2}, -1};
    t.nodes[3].leaf = 1;
    t.nodes[4].leaf = 2;
    t.text_ids = {7, 9};
    Cell text9;
    text9.kind = Cell::text;
    text9.text_id = 9;
    Cell unlisted;
    unlisted.kind = Cell::text;
    Cell none;
    none.kind = Cell::nothing;
    Cells src{{{number(1.0), none}, {number(2.5), text9}, {number(NAN), unlisted},
               {number(3.0), number(9.0)}}};
    std::vector<std::int32_t> leaves(4, -1);
    CHECK(walk_rows(t, src, 0, 4, leaves.data()) == 4);
    CHECK(leaves == (std::vector<std::int32_t>{0, 1, 2, 2}));
    // A value a numeric node cannot order stops the walk at its row.
    Cells bad{{{number(1.0), none}, {text9, none}}};
    CHECK(walk_rows(t, bad, 0, 2, leaves.data()) == 1);

    CategorySet ints{CategorySet::integer, 0, 2};
    t.integers = {10, 20};
    Cell i20 = number(20.0);
    i20.is_int = true;
    i20.integer = 20;
    CHECK(category_member(t, ints, i20) == 1);
    CHECK(category_member(t, ints, number(10.0)) == 1);
    CHECK(category_member(t, ints, number(10.5)) == 0);
    CHECK(category_member(t, ints, none) == 0);
    CHECK(category_member(t, ints, text9) == -1);
}

}  // namespace

// A hook that says stop at its n-th question: the build ends cancelled
// after asking it, and never asks it when the work is too short.
void cancel_hook_stops_the_build() {
    struct StopAt : CancelHook {
        int asked = 0, stop_at;
        explicit StopAt(int n) : stop_at(n) {}
        bool cancelled() override { return ++asked >= stop_at; }
    };
    const std::size_t n = 1 << 18;  // tens of milliseconds of work
    std::vector<double> x(n);
    std::vector<std::int32_t> y(n);
    for (std::size_t r = 0; r < n; ++r) {
        x[r] = static_cast<double>(r);
        y[r] = static_cast<std::int32_t>((r * 7919) % 5 < 2);
    }
    BuiltTree t;
    StopAt stop(1);
    BuildInput in = input(n, y, 2, {numeric(x), numeric(x), numeric(x), numeric(x)});
    in.depth_limit = 6;
    in.cancel = &stop;
    // The poll looks at the clock only every few milliseconds of work.
    CancelPoll probe(&stop);
    CHECK(!probe.stop(1));
    CHECK(stop.asked == 0);
    CHECK(build_tree(in, t) == BuildStatus::cancelled);
    CHECK(stop.asked == 1);
    StopAt never(1 << 30);
    in.cancel = &never;
    CHECK(build_tree(in, t) == BuildStatus::ok && t.nodes.size() > 1);
}

int main() {
    numeric_worked_example();
    categorical_worked_example();
    one_sided_split_stays_a_leaf();
    tie_order_is_asked_only_when_it_matters();
    walk_rules();
    values_beside_rows_change_nothing();
    cancel_hook_stops_the_build();
    return kernel_test::finish();
}
