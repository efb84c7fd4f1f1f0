// What a worker of the distributed fit computes over the rows it holds,
// and how two workers' answers combine. Rows are in the learner's column
// form (float64 values, NaN missing), each numeric value also given as its
// bin (0 .. n_bins-1, the bins ordered like their values, n_bins for a
// missing value), and the rows of each open node are kept together (a
// slot; rows of finished nodes are dropped). Rows of weight zero take no
// part, as in the in-memory learner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin::kernels::learner {

// The bin of each of n values read `stride` apart: the number of `cuts`
// (ascending) at or below it, or `missing` for NaN. Written `out_stride` apart.
void bin_values(const double* x, std::size_t n, std::size_t stride, const double* cuts, std::size_t n_cuts,
                std::uint16_t missing, std::size_t out_stride, std::uint16_t* out);

// Adds n values read `stride` apart, with their bins (`bin_stride` apart),
// to the ranges of their bins below nb: per bin its smallest and largest
// value and its number of values. Values of weight 0 (weight, where given,
// one per value) and bins of nb or more are passed over.
void add_to_ranges(const double* x, std::size_t n, std::size_t stride, const std::uint16_t* bins,
                   std::size_t bin_stride, const double* weight, std::size_t nb, double* lo, double* hi, double* rows);

// The rows a worker holds, laid out slot by slot (see Layout): position i
// has its bins, class and weight at i and its values in row order[i] of x.
struct HeldRows {
    std::size_t rows = 0, cols = 0;       // the positions laid out
    const double* x = nullptr;            // x_rows x cols, row-major: every row held
    std::size_t x_rows = 0;
    const std::uint16_t* bins = nullptr;  // rows x cols, row-major
    const std::int64_t* codes = nullptr;  // class codes
    const double* weight = nullptr;       // null: every row weighs 1
    std::size_t n_bins = 0, n_classes = 0;
};

// Where the positions of each slot lie: slot s holds positions starts[s]
// .. starts[s + 1] - 1, position i being row order[i] of x; `slots` slots.
// A slot's positions are contiguous, so the summaries, lists and routes
// read bins, classes and weights in memory order.
struct OrderView {
    const std::int32_t* order = nullptr;
    const std::int64_t* starts = nullptr;
    std::size_t slots = 0;
};

// A layout of positions: bins (positions x cols), codes, weights (empty
// where every row weighs 1), each position's row of x, the slots' starts.
struct Layout {
    std::vector<std::uint16_t> bins;
    std::vector<std::int64_t> codes;
    std::vector<double> weight;
    std::vector<std::int32_t> order;
    std::vector<std::int64_t> starts;
};

// The positions of `held` (`order`: each one's row of x) whose `slot` (per
// position) is below n_slots and not negative, and whose weight is above
// zero, laid out slot by slot, in their order within a slot.
void lay_out(const HeldRows& held, const std::int32_t* order, const std::int32_t* slot, std::size_t n_slots,
             Layout& out);

// Per feature and value bin (cols x n_bins, row-major) over the positions
// of every slot: the smallest value (`lo`, +inf where none), the largest
// (`hi`, -inf) and the number of rows (`rows`).
void bin_ranges(const HeldRows& held, const OrderView& by_slot, double* lo, double* hi, double* rows);

// Per slot slot_of[0], ..., slot_of[slots - 1], feature and bin (the last bin:
// missing values): the class weights and then the row count, n_classes + 1
// numbers (`counts`, slots x cols x (n_bins + 1) x (n_classes + 1)), or,
// where every row weighs 1, the rows of each class, n_classes whole
// numbers (`whole`); per slot and feature the smallest and largest value
// (`span`, slots x cols x 2); and per slot the smallest value of the value
// bins listed in need_lo (flat feature x bin indices; `lo`, slots x n_lo)
// and the largest of those in need_hi (`hi`). +inf and -inf where there
// are none. With `counted` (per slot, null: every slot), counts only of the
// slots counted, in their order. The caller gives the counts zeroed.
// Without `spans` the span is left empty.
struct NodeSummary {
    bool spans = true;
    double* counts = nullptr;
    std::uint32_t* whole = nullptr;
    std::vector<double> span, lo, hi;
};

void build_node_summary(const HeldRows& held, const OrderView& by_slot, const std::int64_t* slot_of, std::size_t slots,
                        const std::int64_t* need_lo, std::size_t n_lo, const std::int64_t* need_hi, std::size_t n_hi,
                        const std::uint8_t* counted, NodeSummary& out);

// Exact values of chosen bins: for request k, entries offsets[k] ..
// offsets[k+1] - 1, the distinct values of the bin's rows ascending, each
// with its class weights and row count (n_classes + 1 numbers).
struct ValueLists {
    std::vector<std::int64_t> offsets;
    std::vector<double> values;
    std::vector<double> counts;
};

// The requested bins' values. `requests`: k triples (slot, feature, bin),
// ascending. A request of runs[q] 0 is listed whole (`lists`); the values
// of any other are cut into runs[q] runs of equal width between low[q] and
// high[q] (its bin's values over all the rows), run_start[q] onwards, and
// sent as each run's counts (n_classes + 1 numbers) and smallest and
// largest value (+inf and -inf where empty). Their entries stay in `kept`,
// for the values of the runs that turn out to matter (run_lists).
struct KeptEntries {
    std::vector<std::int64_t> run;
    std::vector<double> value, weight;
    std::vector<std::int32_t> code;
};

struct RunLists {
    ValueLists lists;
    std::vector<double> counts, lo, hi;
    KeptEntries kept;
};

void list_runs(const HeldRows& held, const OrderView& by_slot, const std::int64_t* requests, std::size_t k,
               const std::int32_t* runs, const double* low, const double* high, RunLists& out);

// The value lists of the runs `picked` (ascending), one list per run, from
// the entries kept by list_runs; `weighted`: the entries carry weights.
void run_lists(const KeptEntries& kept, bool weighted, std::size_t n_classes, const std::int64_t* picked,
               std::size_t n_picked, ValueLists& out);

// The lists of the rows of both a and b (the same requests); equal values
// merge, adding their counts.
void merge_lists(const ValueLists& a, const ValueLists& b, std::size_t width, ValueLists& out);

// The splits of the nodes in slots 0 .. nodes - 1, and where their rows go.
struct LevelSplits {
    std::size_t nodes = 0;
    const std::int64_t* feature = nullptr;  // -1: the node does not split
    const double* threshold = nullptr;      // a value goes left when at most it; NaN: by category
    const std::uint8_t* missing_left = nullptr;
    // Categorical splits: `words` words per node, bit c % 64 of word c / 64
    // set where category c goes left.
    const std::uint64_t* sets = nullptr;
    std::size_t words = 0;
    // A split between bins (bin >= 0, the threshold unknown): a value goes
    // left when its bin is below `bin`, or is `bin` and the value is at
    // most bin_value.
    const std::int64_t* bin = nullptr;
    const double* bin_value = nullptr;
    const std::int32_t* to_left = nullptr;  // the children's slots of the next level (-1: none)
    const std::int32_t* to_right = nullptr;
};

// Each position's slot of the next level into `slot_out` (held.rows
// long): its child's where its node splits, -1 otherwise. Per node split
// between bins, `below` and `above` (nodes long, -inf and +inf first) take
// the largest value of its rows sent left and the smallest sent right: the
// threshold is their midpoint. `lo` and `hi` (cols x n_bins) are every
// bin's smallest and largest value over all the rows: a row whose bin
// lies wholly on one side of a threshold goes there unread.
void route_rows(const HeldRows& held, const OrderView& by_slot, const LevelSplits& splits, const double* lo,
                const double* hi, std::int32_t* slot_out, double* below, double* above);

}  // namespace tavrin::kernels::learner
