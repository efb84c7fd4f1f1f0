// The kernels of the distributed fit for Python: bin summaries and exact
// value lists of a worker's rows, the merge of two workers' lists, and the
// split search over merged summaries. Positional arguments only (see
// learner_module.cpp); arrays in, numpy arrays out. A fault of the input
// is a ValueError; the work runs without the interpreter lock.
#include "kernels/learner/binned_split.hpp"
#include "kernels/learner/draws.hpp"
#include "kernels/learner/histogram.hpp"
#include "kernels/learner/split_rule.hpp"

#include "readable.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
using tavrin::tools::Readable;
using namespace tavrin::kernels::learner;

namespace {

[[noreturn]] void refuse(const std::string& what) { throw py::value_error(what); }

// `obj` as a C-contiguous array of T (numpy's safe casts only) of `shape`
// (-1: any length).
template <class T>
Readable<T> take(const py::handle& obj, std::vector<py::ssize_t> shape, const char* name) {
    auto a = Readable<T>::ensure(obj);
    if (!a) {
        PyErr_Clear();
        refuse(std::string(name) + " must be an array of " + py::str(py::dtype::of<T>()).cast<std::string>());
    }
    bool ok = a.ndim() == static_cast<py::ssize_t>(shape.size());
    for (std::size_t d = 0; ok && d < shape.size(); ++d) ok = shape[d] < 0 || a.shape(d) == shape[d];
    if (!ok) refuse(std::string(name) + " has the wrong shape");
    return a;
}

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v, std::vector<py::ssize_t> shape) {
    py::array_t<T> out(shape);
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

template <class T>
void free_vector(void* p) { delete static_cast<std::vector<T>*>(p); }

// The same without a copy: the array takes the vector over, and `freed`
// gets it when the array goes.
template <class T>
py::array_t<T> to_numpy(std::vector<T>&& v, std::vector<py::ssize_t> shape, void (*freed)(void*) = &free_vector<T>) {
    auto kept = std::make_unique<std::vector<T>>(std::move(v));
    py::capsule owner(kept.get(), freed);
    const T* data = kept.release()->data();  // the capsule owns it now
    return py::array_t<T>(shape, data, owner);
}

// A layout's arrays, once freed, kept for the next route to write into: a
// route writes as many bytes as the rows it keeps, and fresh memory costs
// a page fault per page on its first write. Rows only leave from one level
// to the next, so the layout freed a level ago has room for the next. One
// spare per kind of array, and only while a fit runs here (keep_spares):
// the layouts freed after it are let go. Given and taken with the
// interpreter lock held (a capsule's destructor, the route's start).
bool& spares_kept() {
    static bool on = false;
    return on;
}

template <class T>
struct Spare {
    static std::unique_ptr<std::vector<T>>& kept() {
        static std::unique_ptr<std::vector<T>> spare;
        return spare;
    }
    static void give(void* freed) {
        std::unique_ptr<std::vector<T>> given(static_cast<std::vector<T>*>(freed));
        if (spares_kept() && (!kept() || kept()->capacity() < given->capacity())) kept() = std::move(given);
    }
    static std::size_t bytes() { return kept() ? kept()->capacity() * sizeof(T) : 0; }
    // A vector with room for `need` elements (its old contents, to be
    // overwritten), or an empty one.
    static std::vector<T> take(std::size_t need) {
        std::vector<T> out;
        if (kept() && kept()->capacity() >= need) {
            out = std::move(*kept());
            kept().reset();
        }
        return out;
    }
    static void drop() { kept().reset(); }
};

// to_numpy of a layout's array: the vector goes back to its Spare when the
// array is freed.
template <class T>
py::array_t<T> to_numpy_spared(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
    return to_numpy(std::move(v), std::move(shape), &Spare<T>::give);
}

void drop_spares() {
    Spare<std::uint16_t>::drop();
    Spare<std::int64_t>::drop();
    Spare<std::int32_t>::drop();
    Spare<double>::drop();
}

void keep_spares(bool on) {
    spares_kept() = on;
    if (!on) drop_spares();
}

std::size_t spare_bytes() {
    return Spare<std::uint16_t>::bytes() + Spare<std::int64_t>::bytes() + Spare<std::int32_t>::bytes() +
           Spare<double>::bytes();
}

py::ssize_t checked_size(std::initializer_list<std::size_t> dims) {
    std::size_t total = 1;
    for (std::size_t d : dims)
        if (__builtin_mul_overflow(total, d, &total) || total > (std::size_t{1} << 40)) throw std::bad_alloc();
    return static_cast<py::ssize_t>(total);
}

// Arrays that keep a HeldRows' memory alive.
struct Held {
    Readable<double> x, weight;
    Readable<std::uint16_t> bins;
    Readable<std::int64_t> codes;
    HeldRows rows;
};

// X: every row held; bins, codes and weight: per position (see HeldRows).
Held held_of(const py::object& X, const py::object& bins, const py::object& codes, const py::object& weight,
             std::int64_t n_bins, std::int64_t n_classes) {
    Held h;
    h.x = take<double>(X, {-1, -1}, "X");
    const py::ssize_t p = h.x.shape(1);
    h.bins = take<std::uint16_t>(bins, {-1, p}, "bins");
    const py::ssize_t m = h.bins.shape(0);
    h.codes = take<std::int64_t>(codes, {m}, "codes");
    if (!weight.is_none()) h.weight = take<double>(weight, {m}, "weight");
    if (n_bins < 1 || n_bins >= 65535) refuse("n_bins must be from 1 to 65534");
    if (n_classes < 1 || n_classes > (std::int64_t{1} << 24)) refuse("n_classes must be from 1 to 2**24");
    h.rows.rows = static_cast<std::size_t>(m);
    h.rows.cols = static_cast<std::size_t>(p);
    h.rows.x = h.x.data();
    h.rows.x_rows = static_cast<std::size_t>(h.x.shape(0));
    h.rows.bins = h.bins.data();
    h.rows.codes = h.codes.data();
    h.rows.weight = weight.is_none() ? nullptr : h.weight.data();
    h.rows.n_bins = static_cast<std::size_t>(n_bins);
    h.rows.n_classes = static_cast<std::size_t>(n_classes);
    return h;
}

// The bins of a matrix's numeric columns, in place: column j of `bins`
// from column j of X and its cuts, for each j with cuts (None: a category
// column, left as it is). With `ranges`, per column and bin below n_bins
// the smallest and largest value and the number of values of the rows of
// weight above zero (weight None: every row), written there (as
// bin_ranges finds them), category columns' bins included.
void bin_into(const py::object& X, const py::object& bins, const py::list& cuts, std::int64_t n_bins,
              const py::object& weight, double* ranges) {
    const auto x = take<double>(X, {-1, -1}, "X");
    const py::ssize_t n = x.shape(0), p = x.shape(1);
    auto out = py::array_t<std::uint16_t, tavrin::tools::kReadable>::ensure(bins);
    if (!out || out.ndim() != 2 || out.shape(0) != n || out.shape(1) != p || !out.writeable() ||
        out.ptr() != bins.ptr()) {
        PyErr_Clear();
        refuse("bins must be a writable C-contiguous uint16 array shaped like X");
    }
    if (static_cast<py::ssize_t>(cuts.size()) != p) refuse("cuts needs an entry per column");
    if (n_bins < 1 || n_bins >= 65535) refuse("n_bins must be from 1 to 65534");
    Readable<double> w;
    if (!weight.is_none()) w = take<double>(weight, {n}, "weight");
    std::uint16_t* o = out.mutable_data();
    std::vector<Readable<double>> columns(static_cast<std::size_t>(p));
    std::vector<char> binned(static_cast<std::size_t>(p), 0);
    for (py::ssize_t j = 0; j < p; ++j) {
        if (cuts[static_cast<std::size_t>(j)].is_none()) continue;
        binned[static_cast<std::size_t>(j)] = 1;
        Readable<double>& c = columns[static_cast<std::size_t>(j)];
        c = take<double>(cuts[static_cast<std::size_t>(j)], {-1}, "cuts");
        if (c.shape(0) >= n_bins) refuse("a column has as many cuts as bins");
        for (py::ssize_t i = 1; i < c.shape(0); ++i)
            if (!(c.data()[i - 1] < c.data()[i])) refuse("cuts must rise");
    }
    const std::size_t nb = static_cast<std::size_t>(n_bins), cells = static_cast<std::size_t>(p) * nb;
    const double* weights = weight.is_none() ? nullptr : w.data();
    py::gil_scoped_release unlocked;
    if (ranges) {
        std::fill(ranges, ranges + cells, std::numeric_limits<double>::infinity());
        std::fill(ranges + cells, ranges + 2 * cells, -std::numeric_limits<double>::infinity());
        std::fill(ranges + 2 * cells, ranges + 3 * cells, 0.0);
    }
    // A block of rows at a time, every column of it: the rows are read once.
    constexpr py::ssize_t kBlock = 512;
    for (py::ssize_t r = 0; r < n; r += kBlock) {
        const std::size_t m = static_cast<std::size_t>(std::min(kBlock, n - r));
        for (py::ssize_t j = 0; j < p; ++j) {
            const std::size_t at = static_cast<std::size_t>(r * p + j);
            if (binned[static_cast<std::size_t>(j)]) {
                const Readable<double>& c = columns[static_cast<std::size_t>(j)];
                bin_values(x.data() + at, m, static_cast<std::size_t>(p), c.data(), static_cast<std::size_t>(c.shape(0)),
                           static_cast<std::uint16_t>(n_bins), static_cast<std::size_t>(p), o + at);
            }
            if (ranges) {  // the block's values of the column, just read, and their bins
                const std::size_t f = static_cast<std::size_t>(j) * nb;
                add_to_ranges(x.data() + at, m, static_cast<std::size_t>(p), o + at, static_cast<std::size_t>(p),
                              weights ? weights + r : nullptr, nb, ranges + f, ranges + cells + f,
                              ranges + 2 * cells + f);
            }
        }
    }
}

void bin_columns(const py::object& X, const py::object& bins, const py::list& cuts, std::int64_t n_bins) {
    bin_into(X, bins, cuts, n_bins, py::none(), nullptr);
}

py::array_t<double> bin_and_range(const py::object& X, const py::object& bins, const py::list& cuts, std::int64_t n_bins,
                                  const py::object& weight) {
    const auto p = static_cast<py::ssize_t>(cuts.size());
    if (n_bins < 1 || n_bins >= 65535) refuse("n_bins must be from 1 to 65534");
    py::array_t<double> ranges({py::ssize_t{3}, p, static_cast<py::ssize_t>(n_bins)});
    bin_into(X, bins, cuts, n_bins, weight, ranges.mutable_data());
    return ranges;
}

// Each bin b of column j as table[j, b] (n_bins, missing, stays): bins
// renumbered, e.g. neighbours merged into one.
py::array_t<std::uint16_t> renumber_bins(const py::object& bins, const py::object& table) {
    const auto b = take<std::uint16_t>(bins, {-1, -1}, "bins");
    const py::ssize_t m = b.shape(0), p = b.shape(1);
    const auto t = take<std::uint16_t>(table, {p, -1}, "table");
    const std::size_t width = static_cast<std::size_t>(t.shape(1));  // n_bins + 1
    if (width < 2) refuse("table needs a bin and the missing one");
    for (py::ssize_t j = 0; j < p; ++j)
        if (t.data()[j * t.shape(1) + t.shape(1) - 1] != width - 1) refuse("the missing bin must stay");
    // The rows' first layout: once freed, the spare of the route after next.
    std::vector<std::uint16_t> out(static_cast<std::size_t>(m) * static_cast<std::size_t>(p));
    std::uint16_t* o = out.data();
    bool bad = false;
    {
        py::gil_scoped_release unlocked;
        const std::size_t cols = static_cast<std::size_t>(p);
        for (std::size_t i = 0; i < static_cast<std::size_t>(m) * cols; i += cols)
            for (std::size_t j = 0; j < cols; ++j) {
                const std::size_t v = b.data()[i + j];
                bad |= v >= width;
                o[i + j] = t.data()[j * width + std::min(v, width - 1)];
            }
    }
    if (bad) refuse("bin out of range");
    return to_numpy_spared(std::move(out), {m, p});
}

// A layout's order from Python, checked to be whole: a row per position of
// `h`, `starts` rising from 0 to at most the positions (the rows themselves
// are checked where they are read).
struct Order {
    Readable<std::int32_t> order;
    Readable<std::int64_t> starts;
    OrderView view;
};

Order order_of(const py::object& order, const py::object& starts, const Held& h) {
    Order o;
    o.order = take<std::int32_t>(order, {static_cast<py::ssize_t>(h.rows.rows)}, "order");
    o.starts = take<std::int64_t>(starts, {-1}, "starts");
    const py::ssize_t m = o.starts.shape(0);
    if (m < 1 || o.starts.data()[0] != 0) refuse("starts must rise from 0");
    for (py::ssize_t i = 1; i < m; ++i)
        if (o.starts.data()[i] < o.starts.data()[i - 1] || o.starts.data()[i] > o.order.shape(0))
            refuse("starts must rise from 0 to at most the order's length");
    o.view = {o.order.data(), o.starts.data(), static_cast<std::size_t>(m - 1)};
    return o;
}

py::tuple layout_to_numpy(Layout& l, py::ssize_t p, bool weighted) {
    const auto m = static_cast<py::ssize_t>(l.order.size());
    return py::make_tuple(to_numpy(std::move(l.bins), {m, p}), to_numpy(std::move(l.codes), {m}),
                          weighted ? py::object(to_numpy(std::move(l.weight), {m})) : py::object(py::none()),
                          to_numpy(std::move(l.order), {m}),
                          to_numpy(std::move(l.starts), {static_cast<py::ssize_t>(l.starts.size())}));
}

py::tuple lay_out_of(const py::object& bins, const py::object& codes, const py::object& weight, const py::object& order,
                     const py::object& slot, std::int64_t n_slots) {
    const auto b = take<std::uint16_t>(bins, {-1, -1}, "bins");
    const py::ssize_t m = b.shape(0);
    const auto c = take<std::int64_t>(codes, {m}, "codes");
    const auto o = take<std::int32_t>(order, {m}, "order");
    const auto s = take<std::int32_t>(slot, {m}, "slot");
    Readable<double> w;
    if (!weight.is_none()) w = take<double>(weight, {m}, "weight");
    if (n_slots < 0 || n_slots > (std::int64_t{1} << 31)) refuse("n_slots must be from 0 to 2**31");
    HeldRows rows;
    rows.rows = static_cast<std::size_t>(m);
    rows.cols = static_cast<std::size_t>(b.shape(1));
    rows.bins = b.data();
    rows.codes = c.data();
    rows.weight = weight.is_none() ? nullptr : w.data();
    Layout out;
    {
        py::gil_scoped_release unlocked;
        lay_out(rows, o.data(), s.data(), static_cast<std::size_t>(n_slots), out);
    }
    return layout_to_numpy(out, b.shape(1), !weight.is_none());
}

py::tuple bin_ranges_of(const py::object& X, const py::object& bins, const py::object& codes, const py::object& weight,
                        const py::object& order, const py::object& starts, std::int64_t n_bins, std::int64_t n_classes) {
    const Held h = held_of(X, bins, codes, weight, n_bins, n_classes);
    const Order o = order_of(order, starts, h);
    const py::ssize_t p = static_cast<py::ssize_t>(h.rows.cols);
    py::array_t<double> lo({p, static_cast<py::ssize_t>(n_bins)}), hi({p, static_cast<py::ssize_t>(n_bins)}),
        rows({p, static_cast<py::ssize_t>(n_bins)});
    double *l = lo.mutable_data(), *u = hi.mutable_data(), *r = rows.mutable_data();
    {
        py::gil_scoped_release unlocked;
        bin_ranges(h.rows, o.view, l, u, r);
    }
    return py::make_tuple(lo, hi, rows);
}

py::tuple node_summary(const py::object& X, const py::object& bins, const py::object& codes, const py::object& weight,
                       const py::object& order, const py::object& starts, const py::object& first, std::int64_t slots,
                       std::int64_t n_bins, std::int64_t n_classes, const py::object& need_lo,
                       const py::object& need_hi, bool spans, const py::args& counted) {
    const Held h = held_of(X, bins, codes, weight, n_bins, n_classes);
    const Order o = order_of(order, starts, h);
    if (slots < 0) refuse("slots must be 0 or more");
    // The slots summarised: first, first + 1, ... or, given as an array, those.
    std::vector<std::int64_t> slot_of(static_cast<std::size_t>(slots));
    if (py::isinstance<py::int_>(first)) {
        const std::int64_t from = first.cast<std::int64_t>();
        for (std::size_t su = 0; su < slot_of.size(); ++su) slot_of[su] = from + static_cast<std::int64_t>(su);
    } else {
        const auto given = take<std::int64_t>(first, {slots}, "first");
        std::copy(given.data(), given.data() + slots, slot_of.begin());
    }
    if (counted.size() > 1) refuse("node_summary takes one array of the slots counted at most");
    const bool some = counted.size() && !counted[0].is_none();
    Readable<std::uint8_t> which;
    py::ssize_t n_counted = slots;
    if (some) {
        which = take<std::uint8_t>(counted[0], {slots}, "counted");
        n_counted = 0;
        for (py::ssize_t i = 0; i < slots; ++i) n_counted += which.data()[i] != 0;
    }
    const std::uint8_t* chosen = some ? which.data() : nullptr;
    const auto lo_bins = take<std::int64_t>(need_lo, {-1}, "need_lo");
    const auto hi_bins = take<std::int64_t>(need_hi, {-1}, "need_hi");
    const std::size_t s = static_cast<std::size_t>(slots), p = h.rows.cols, nb = h.rows.n_bins, w = h.rows.n_classes + 1;
    const bool whole = weight.is_none();
    const py::ssize_t S = slots, P = static_cast<py::ssize_t>(p), NB = n_bins;
    const py::tuple shape = py::make_tuple(n_counted, P, NB + 1, whole ? n_classes : n_classes + 1);
    checked_size({s, p, nb + 1, w});
    py::module_ numpy = py::module_::import("numpy");
    const py::array counts = numpy.attr("zeros")(shape, whole ? "uint32" : "float64");
    NodeSummary out;
    out.spans = spans;
    if (whole) out.whole = static_cast<std::uint32_t*>(counts.request(true).ptr);
    else out.counts = static_cast<double*>(counts.request(true).ptr);
    {
        py::gil_scoped_release unlocked;
        build_node_summary(h.rows, o.view, slot_of.data(), s, lo_bins.data(), static_cast<std::size_t>(lo_bins.size()),
                           hi_bins.data(), static_cast<std::size_t>(hi_bins.size()), chosen, out);
    }
    return py::make_tuple(counts,
                          to_numpy(out.lo, {S, static_cast<py::ssize_t>(lo_bins.size())}),
                          to_numpy(out.hi, {S, static_cast<py::ssize_t>(hi_bins.size())}),
                          spans ? py::object(to_numpy(out.span, {S, P, 2})) : py::none());
}

py::tuple lists_to_numpy(ValueLists& l, std::size_t width) {
    const auto n = static_cast<py::ssize_t>(l.values.size());
    return py::make_tuple(to_numpy(std::move(l.offsets), {static_cast<py::ssize_t>(l.offsets.size())}),
                          to_numpy(std::move(l.values), {n}),
                          to_numpy(std::move(l.counts), {n, static_cast<py::ssize_t>(width)}));
}

py::tuple list_runs_of(const py::object& X, const py::object& bins, const py::object& codes, const py::object& weight,
                       const py::object& order, const py::object& starts, const py::object& requests,
                       const py::object& runs, const py::object& low, const py::object& high, std::int64_t n_bins,
                       std::int64_t n_classes) {
    const Held h = held_of(X, bins, codes, weight, n_bins, n_classes);
    const Order o = order_of(order, starts, h);
    const auto req = take<std::int64_t>(requests, {-1, 3}, "requests");
    const py::ssize_t k = req.shape(0);
    const auto cut = take<std::int32_t>(runs, {k}, "runs");
    const auto lo = take<double>(low, {k}, "low");
    const auto hi = take<double>(high, {k}, "high");
    RunLists out;
    {
        py::gil_scoped_release unlocked;
        list_runs(h.rows, o.view, req.data(), static_cast<std::size_t>(k), cut.data(), lo.data(), hi.data(), out);
    }
    const std::size_t width = h.rows.n_classes + 1;
    const auto total = static_cast<py::ssize_t>(out.lo.size()), kept = static_cast<py::ssize_t>(out.kept.run.size());
    const py::object weights =
        weight.is_none() ? py::object(py::none()) : py::object(to_numpy(std::move(out.kept.weight), {kept}));
    return py::make_tuple(lists_to_numpy(out.lists, width),
                          to_numpy(std::move(out.counts), {total, static_cast<py::ssize_t>(width)}),
                          to_numpy(std::move(out.lo), {total}), to_numpy(std::move(out.hi), {total}),
                          py::make_tuple(to_numpy(std::move(out.kept.run), {kept}),
                                         to_numpy(std::move(out.kept.value), {kept}),
                                         to_numpy(std::move(out.kept.code), {kept}), weights));
}

py::tuple run_lists_of(const py::tuple& kept, const py::object& picked, std::int64_t n_classes) {
    if (kept.size() != 4) refuse("kept entries are (run, value, code, weight) arrays");
    const auto run = take<std::int64_t>(kept[0], {-1}, "run");
    const py::ssize_t n = run.shape(0);
    const auto value = take<double>(kept[1], {n}, "value");
    const auto code = take<std::int32_t>(kept[2], {n}, "code");
    const bool weighted = !kept[3].is_none();
    Readable<double> weight;
    if (weighted) weight = take<double>(kept[3], {n}, "weight");
    const auto p = take<std::int64_t>(picked, {-1}, "picked");
    if (n_classes < 1 || n_classes > (std::int64_t{1} << 24)) refuse("n_classes must be from 1 to 2**24");
    KeptEntries entries;
    entries.run.assign(run.data(), run.data() + n);
    entries.value.assign(value.data(), value.data() + n);
    entries.code.assign(code.data(), code.data() + n);
    if (weighted) entries.weight.assign(weight.data(), weight.data() + n);
    ValueLists out;
    {
        py::gil_scoped_release unlocked;
        run_lists(entries, weighted, static_cast<std::size_t>(n_classes), p.data(), static_cast<std::size_t>(p.shape(0)),
                  out);
    }
    return lists_to_numpy(out, static_cast<std::size_t>(n_classes) + 1);
}

// The rows laid out for the next level (as lay_out gives them), and per
// node split between bins the values either side of its threshold
// (route_rows); lo and hi: every bin's smallest and largest value.
py::tuple route(const py::object& X, const py::object& bins, const py::object& codes, const py::object& weight,
                const py::object& order, const py::object& starts, std::int64_t n_bins, std::int64_t n_classes,
                const py::tuple& chosen, const py::object& to_left, const py::object& to_right, const py::object& low,
                const py::object& high) {
    const Held h = held_of(X, bins, codes, weight, n_bins, n_classes);
    const Order o = order_of(order, starts, h);
    if (chosen.size() != 6) refuse("splits are (feature, threshold, missing_left, sets, bin, bin_value)");
    const auto feature = take<std::int64_t>(chosen[0], {-1}, "feature");
    const py::ssize_t k = feature.shape(0);
    const auto threshold = take<double>(chosen[1], {k}, "threshold");
    const auto missing_left = take<std::uint8_t>(chosen[2], {k}, "missing_left");
    const auto sets = take<std::uint64_t>(chosen[3], {k, -1}, "sets");
    const auto bin = take<std::int64_t>(chosen[4], {k}, "bin");
    const auto bin_value = take<double>(chosen[5], {k}, "bin_value");
    const auto l = take<std::int32_t>(to_left, {k}, "to_left");
    const auto r = take<std::int32_t>(to_right, {k}, "to_right");
    const py::ssize_t p = static_cast<py::ssize_t>(h.rows.cols);
    const auto lo = take<double>(low, {p, n_bins}, "lo");
    const auto hi = take<double>(high, {p, n_bins}, "hi");
    std::int64_t n_slots = 0;
    for (py::ssize_t i = 0; i < k; ++i) n_slots = std::max({n_slots, std::int64_t{l.data()[i]} + 1, std::int64_t{r.data()[i]} + 1});
    const LevelSplits splits{static_cast<std::size_t>(k), feature.data(), threshold.data(), missing_left.data(),
                             sets.data(), static_cast<std::size_t>(sets.shape(1)), bin.data(), bin_value.data(),
                             l.data(), r.data()};
    py::array_t<double> below(k), above(k);
    std::fill_n(below.mutable_data(), k, -std::numeric_limits<double>::infinity());
    std::fill_n(above.mutable_data(), k, std::numeric_limits<double>::infinity());
    // The next layout keeps at most the rows of this one.
    Layout next;
    const std::size_t m = h.rows.rows;
    next.bins = Spare<std::uint16_t>::take(m * h.rows.cols);
    next.codes = Spare<std::int64_t>::take(m);
    next.order = Spare<std::int32_t>::take(m);
    if (!weight.is_none()) next.weight = Spare<double>::take(m);
    {
        py::gil_scoped_release unlocked;
        std::vector<std::int32_t> slot(h.rows.rows);
        route_rows(h.rows, o.view, splits, lo.data(), hi.data(), slot.data(), below.mutable_data(),
                   above.mutable_data());
        lay_out(h.rows, o.order.data(), slot.data(), static_cast<std::size_t>(n_slots), next);
    }
    const auto kept = static_cast<py::ssize_t>(next.order.size());
    return py::make_tuple(to_numpy_spared(std::move(next.bins), {kept, p}), to_numpy_spared(std::move(next.codes), {kept}),
                          weight.is_none() ? py::object(py::none()) : py::object(to_numpy_spared(std::move(next.weight), {kept})),
                          to_numpy_spared(std::move(next.order), {kept}),
                          to_numpy(std::move(next.starts), {static_cast<py::ssize_t>(next.starts.size())}), below, above);
}

// Lists from Python, checked to be whole: offsets rising from 0 to the
// number of values, `width` counts per value.
ValueLists lists_of(const py::object& offsets, const py::object& values, const py::object& counts, py::ssize_t k,
                    py::ssize_t width) {
    const auto o = take<std::int64_t>(offsets, {k + 1}, "offsets");
    const auto v = take<double>(values, {-1}, "values");
    const auto c = take<double>(counts, {v.shape(0), width}, "counts");
    ValueLists l;
    l.offsets.assign(o.data(), o.data() + k + 1);
    for (py::ssize_t i = 0; i <= k; ++i)
        if ((i == 0 ? l.offsets[0] != 0 : l.offsets[i] < l.offsets[i - 1]) || l.offsets[i] > v.shape(0))
            refuse("offsets must rise from 0 to the number of values");
    if (l.offsets[k] != v.shape(0)) refuse("offsets must rise from 0 to the number of values");
    l.values.assign(v.data(), v.data() + v.shape(0));
    l.counts.assign(c.data(), c.data() + c.size());
    return l;
}

py::tuple merge_value_lists(const py::tuple& a, const py::tuple& b) {
    if (a.size() != 3 || b.size() != 3) refuse("value lists are (offsets, values, counts) triples");
    const auto oa = take<std::int64_t>(a[0], {-1}, "offsets");
    const auto ca = take<double>(a[2], {-1, -1}, "counts");
    const py::ssize_t k = oa.shape(0) - 1, width = ca.shape(1);
    if (k < 0 || width < 2) refuse("value lists need offsets and a count per class");
    const ValueLists la = lists_of(a[0], a[1], a[2], k, width), lb = lists_of(b[0], b[1], b[2], k, width);
    ValueLists out;
    {
        py::gil_scoped_release unlocked;
        merge_lists(la, lb, static_cast<std::size_t>(width), out);
    }
    return lists_to_numpy(out, static_cast<std::size_t>(width));
}

// The learner's parameters and the array their monotonic constraints point into.
struct Params {
    LearnerParams p;
    Readable<std::int8_t> monotonic;
};

Params params_of(const py::tuple& t) {
    if (t.size() != 6 && t.size() != 7 && t.size() != 11)
        refuse("params: (criterion, max_depth, min_samples_split, min_samples_leaf, min_weight_leaf, "
               "min_impurity_decrease[, categories per feature or None[, max_features, random_split, seed, "
               "monotonic constraints or None]])");
    Params out;
    LearnerParams& p = out.p;
    const std::string criterion = t[0].cast<std::string>();
    if (criterion != "gini" && criterion != "entropy") refuse("criterion must be 'gini' or 'entropy'");
    p.criterion = criterion == "gini" ? Criterion::gini : Criterion::entropy;
    p.max_depth = t[1].cast<std::int64_t>();
    p.min_samples_split = t[2].cast<std::int64_t>();
    p.min_samples_leaf = t[3].cast<std::int64_t>();
    p.min_weight_leaf = t[4].cast<double>();
    p.min_impurity_decrease = t[5].cast<double>();
    if (t.size() == 11) {
        p.max_features = t[7].cast<std::int64_t>();
        p.random_split = t[8].cast<bool>();
        p.seed = t[9].cast<std::uint64_t>();
        if (!t[10].is_none()) {
            out.monotonic = take<std::int8_t>(t[10], {-1}, "monotonic constraints");
            for (py::ssize_t f = 0; f < out.monotonic.size(); ++f)
                if (out.monotonic.data()[f] < -1 || out.monotonic.data()[f] > 1)
                    refuse("monotonic constraints must be -1, 0 or 1");
            p.monotonic = out.monotonic.data();
        }
    }
    return out;
}

py::tuple node_stats_of(const py::object& totals, const py::object& n, const py::object& weight,
                        const py::object& depth, const py::tuple& params) {
    const LearnerParams p = params_of(params).p;
    const auto t = take<double>(totals, {-1, -1}, "totals");
    const py::ssize_t k = t.shape(0);
    if (t.shape(1) < 1) refuse("totals need a column per class");
    const auto nn = take<std::int64_t>(n, {k}, "n");
    const auto w = take<double>(weight, {k}, "weight");
    const auto d = take<std::int64_t>(depth, {k}, "depth");
    py::array_t<double> impurity(k);
    py::array_t<std::uint8_t> stops(k);
    node_stats(p, static_cast<std::size_t>(k), static_cast<std::size_t>(t.shape(1)), t.data(), nn.data(), w.data(),
               d.data(), impurity.mutable_data(), stops.mutable_data());
    return py::make_tuple(impurity, stops);
}

// The summaries of a batch of nodes and the arrays that keep them alive.
struct Batch {
    Readable<double> counts, lo, hi, totals, weight, bounds, span;
    Readable<std::int64_t> n, n_categories;
    Readable<std::uint8_t> searched;
    Readable<std::uint64_t> keys;
    Params params;
    OpenNodes nodes;
};

// `growth`: empty, or one tuple of what the nodes carry down the tree, each
// None or an array: (searched features, keys, bounds[, span]), as OpenNodes
// has them.
Batch batch_of(const py::object& counts, const py::object& lo, const py::object& hi, const py::object& totals,
               const py::object& n, const py::object& weight, const py::tuple& params, const py::tuple& growth) {
    Batch b;
    b.params = params_of(params);
    b.counts = take<double>(counts, {-1, -1, -1, -1}, "counts");
    const py::ssize_t k = b.counts.shape(0), p = b.counts.shape(1), nb = b.counts.shape(2) - 1,
                      nc = b.counts.shape(3) - 1;
    if (nb < 1 || nc < 1) refuse("counts need a bin and a class at least");
    // The searches turn row counts into integers: each must be a whole
    // number a double holds exactly.
    const double* c = b.counts.data();
    for (py::ssize_t i = nc; i < b.counts.size(); i += nc + 1)
        if (!(c[i] >= 0.0 && c[i] <= 0x1p53 && c[i] == std::floor(c[i]))) refuse("row counts must be whole numbers");
    b.lo = take<double>(lo, {k, p, nb}, "lo");
    b.hi = take<double>(hi, {k, p, nb}, "hi");
    b.totals = take<double>(totals, {k, nc}, "totals");
    b.n = take<std::int64_t>(n, {k}, "n");
    b.weight = take<double>(weight, {k}, "weight");
    b.nodes = {static_cast<std::size_t>(k), static_cast<std::size_t>(p), static_cast<std::size_t>(nb),
               static_cast<std::size_t>(nc), b.counts.data(), b.lo.data(), b.hi.data(), b.totals.data(),
               b.n.data(), b.weight.data()};
    if (b.params.p.monotonic && b.params.monotonic.size() != p) refuse("monotonic constraints: one per feature");
    if (growth.size() > 1) refuse("one tuple of (searched features, keys, bounds[, span]) at most");
    const py::tuple g = growth.size() ? py::tuple(growth[0]) : py::make_tuple(py::none(), py::none(), py::none());
    if (g.size() != 3 && g.size() != 4) refuse("the nodes' growth is (searched features, keys, bounds[, span])");
    if (g.size() == 4 && !g[3].is_none()) {
        b.span = take<double>(g[3], {k, p, 2}, "span");
        b.nodes.span = b.span.data();
    }
    if (!g[0].is_none()) {
        b.searched = take<std::uint8_t>(g[0], {k, p}, "searched features");
        b.nodes.searched = b.searched.data();
    }
    if (!g[1].is_none()) {
        b.keys = take<std::uint64_t>(g[1], {k}, "keys");
        b.nodes.keys = b.keys.data();
    }
    if (!g[2].is_none()) {
        b.bounds = take<double>(g[2], {k, 2}, "bounds");
        b.nodes.bounds = b.bounds.data();
    }
    if (b.params.p.random_split && !b.nodes.keys) refuse("random splits need the nodes' keys");
    if (params.size() >= 7 && !params[6].is_none()) {  // categorical features: each holds its categories in its first bins
        b.n_categories = take<std::int64_t>(params[6], {p}, "categories per feature");
        for (py::ssize_t f = 0; f < p; ++f) {
            const std::int64_t k = b.n_categories.data()[f];
            if (k < 0 || k > nb) refuse("a categorical feature has more categories than bins");
        }
        b.nodes.n_categories = b.n_categories.data();
    }
    return b;
}

py::array_t<std::uint8_t> refine_mask(const py::object& counts, const py::object& lo, const py::object& hi,
                                      const py::object& totals, const py::object& n, const py::object& weight,
                                      const py::tuple& params, const py::args& growth) {
    const Batch b = batch_of(counts, lo, hi, totals, n, weight, params, growth);
    const LearnerParams& p = b.params.p;
    const OpenNodes& o = b.nodes;
    std::vector<std::uint8_t> mask(o.nodes * o.cols * o.n_bins);
    {
        py::gil_scoped_release unlocked;
        bins_to_refine(o, p, mask.data());
    }
    return to_numpy(mask, {static_cast<py::ssize_t>(o.nodes), static_cast<py::ssize_t>(o.cols),
                           static_cast<py::ssize_t>(o.n_bins)});
}

// What the bins of `mask` hold: (offsets, values, counts[, hi]) as
// RefinedBins has them, checked.
struct Entries {
    ValueLists lists;
    std::vector<double> hi;  // empty: each entry one value
    RefinedBins refined() const {
        return {lists.offsets.data(), lists.values.data(), lists.counts.data(), hi.empty() ? nullptr : hi.data()};
    }
};

Entries entries_of(const Readable<std::uint8_t>& mask, const py::tuple& lists, py::ssize_t width) {
    py::ssize_t refined = 0;
    for (py::ssize_t i = 0; i < mask.size(); ++i) refined += mask.data()[i] != 0;
    if (lists.size() != 3 && lists.size() != 4) refuse("value lists are (offsets, values, counts[, hi])");
    Entries e;
    e.lists = lists_of(lists[0], lists[1], lists[2], refined, width);
    if (lists.size() == 4) {
        const auto hi = take<double>(lists[3], {static_cast<py::ssize_t>(e.lists.values.size())}, "hi");
        e.hi.assign(hi.data(), hi.data() + hi.size());
        for (std::size_t i = 0; i < e.lists.values.size(); ++i)
            if (!(e.lists.values[i] <= e.hi[i])) refuse("each run's values must rise from lo to hi");
    }
    return e;
}

py::array_t<std::uint8_t> refine_entries(const py::object& counts, const py::object& lo, const py::object& hi,
                                         const py::object& totals, const py::object& n, const py::object& weight,
                                         const py::tuple& params, const py::object& mask, const py::tuple& lists,
                                         const py::args& growth) {
    const Batch b = batch_of(counts, lo, hi, totals, n, weight, params, growth);
    const OpenNodes& o = b.nodes;
    const auto m = take<std::uint8_t>(mask, {static_cast<py::ssize_t>(o.nodes), static_cast<py::ssize_t>(o.cols),
                                             static_cast<py::ssize_t>(o.n_bins)}, "mask");
    const Entries l = entries_of(m, lists, static_cast<py::ssize_t>(o.n_classes) + 1);
    if (lists.size() != 4) refuse("runs of values need their hi");
    std::vector<std::uint8_t> out(l.lists.values.size(), 0);
    {
        py::gil_scoped_release unlocked;
        entries_to_refine(o, b.params.p, m.data(), l.refined(), out.data());
    }
    return to_numpy(out, {static_cast<py::ssize_t>(out.size())});
}

py::dict splits_of(const py::object& counts, const py::object& lo, const py::object& hi, const py::object& totals,
                   const py::object& n, const py::object& weight, const py::tuple& params, const py::object& mask,
                   const py::tuple& lists, const py::object& impurity, double total_weight, const py::args& growth) {
    const Batch b = batch_of(counts, lo, hi, totals, n, weight, params, growth);
    const LearnerParams& p = b.params.p;
    const OpenNodes& o = b.nodes;
    const py::ssize_t k = static_cast<py::ssize_t>(o.nodes), nc = static_cast<py::ssize_t>(o.n_classes);
    const auto m = take<std::uint8_t>(mask, {k, static_cast<py::ssize_t>(o.cols), static_cast<py::ssize_t>(o.n_bins)},
                                      "mask");
    const Entries l = entries_of(m, lists, nc + 1);
    const auto imp = take<double>(impurity, {k}, "impurity");
    std::vector<ChosenSplit> out;
    {
        py::gil_scoped_release unlocked;
        choose_splits(o, p, m.data(), l.refined(), imp.data(), total_weight, out);
    }
    py::array_t<std::int64_t> feature(k), n_left(k), bin(k);
    py::array_t<double> threshold(k), bin_value(k), weight_left(k), improvement(k), left({k, nc});
    py::array_t<std::uint8_t> missing_left(k);
    py::array_t<double> bounds({k, py::ssize_t{4}});
    for (py::ssize_t i = 0; i < k; ++i) {
        const ChosenSplit& s = out[static_cast<std::size_t>(i)];
        double* to = bounds.mutable_data() + 4 * i;
        to[0] = s.left_bounds.lower;
        to[1] = s.left_bounds.upper;
        to[2] = s.right_bounds.lower;
        to[3] = s.right_bounds.upper;
        feature.mutable_data()[i] = s.feature;
        n_left.mutable_data()[i] = s.n_left;
        threshold.mutable_data()[i] = s.threshold;
        bin.mutable_data()[i] = s.bin;
        bin_value.mutable_data()[i] = s.bin_value;
        weight_left.mutable_data()[i] = s.weight_left;
        improvement.mutable_data()[i] = s.improvement;
        missing_left.mutable_data()[i] = s.missing_left;
        for (py::ssize_t c = 0; c < nc; ++c)
            left.mutable_data()[i * nc + c] = s.left.empty() ? 0.0 : s.left[static_cast<std::size_t>(c)];
    }
    // Categorical splits' sets, one row per node, as wide as the widest.
    std::size_t words = 1;
    for (const ChosenSplit& s : out) words = std::max(words, s.categories.size());
    py::array_t<std::uint64_t> categories({k, static_cast<py::ssize_t>(words)});
    std::fill_n(categories.mutable_data(), categories.size(), std::uint64_t{0});
    for (py::ssize_t i = 0; i < k; ++i) {
        const std::vector<std::uint64_t>& set = out[static_cast<std::size_t>(i)].categories;
        std::copy(set.begin(), set.end(), categories.mutable_data() + i * static_cast<py::ssize_t>(words));
    }
    py::dict d;
    d["feature"] = feature;
    d["categories"] = categories;
    d["threshold"] = threshold;
    d["bin"] = bin;
    d["bin_value"] = bin_value;
    d["missing_left"] = missing_left;
    d["n_left"] = n_left;
    d["weight_left"] = weight_left;
    d["left"] = left;
    d["improvement"] = improvement;
    d["bounds"] = bounds;
    return d;
}

py::tuple draw_features_of(const py::object& counts, const py::object& lo, const py::object& hi,
                           const py::object& totals, const py::object& n, const py::object& weight,
                           const py::tuple& params, const py::object& keys, const py::object& known_offsets,
                           const py::object& known, const py::args& span) {
    if (span.size() > 1) refuse("draw_features takes one span at most");
    const Batch b = batch_of(counts, lo, hi, totals, n, weight, params,
                             py::make_tuple(py::make_tuple(py::none(), keys, py::none(),
                                                           span.size() ? py::object(span[0]) : py::none())));
    const OpenNodes& o = b.nodes;
    if (!o.keys) refuse("the draws need the nodes' keys");
    const py::ssize_t k = static_cast<py::ssize_t>(o.nodes), p = static_cast<py::ssize_t>(o.cols);
    const LearnerParams& lp = b.params.p;
    if (lp.max_features < 1 || lp.max_features >= p) refuse("max_features must be from 1 to the features less one");
    const auto offsets = take<std::int64_t>(known_offsets, {k + 1}, "known constants' offsets");
    const auto features = take<std::int32_t>(known, {-1}, "known constants");
    const std::int64_t* off = offsets.data();
    bool whole = off[0] == 0 && off[k] == features.size();
    for (py::ssize_t i = 0; i < k; ++i) whole = whole && off[i + 1] >= off[i] && off[i + 1] - off[i] <= p;
    if (!whole) refuse("known constants' offsets must rise from 0 to their number, at most one per feature");
    for (py::ssize_t j = 0; j < features.size(); ++j)
        if (features.data()[j] < 0 || features.data()[j] >= p) refuse("a known constant is not a feature");
    py::array_t<std::uint8_t> searched({k, p});
    std::vector<std::int64_t> constant_offsets;
    std::vector<std::int32_t> constants;
    {
        py::gil_scoped_release unlocked;
        draw_searched(o, lp, off, features.data(), searched.mutable_data(), constant_offsets, constants);
    }
    return py::make_tuple(searched, to_numpy(constant_offsets, {k + 1}),
                          to_numpy(constants, {static_cast<py::ssize_t>(constants.size())}));
}

// The thresholds between the largest values sent left and the smallest
// sent right, as every search forms them (split_rule.hpp).
py::array_t<double> midpoints_of(const py::object& below, const py::object& above) {
    const auto a = take<double>(below, {-1}, "below");
    const auto b = take<double>(above, {a.shape(0)}, "above");
    py::array_t<double> out(a.shape(0));
    for (py::ssize_t i = 0; i < a.shape(0); ++i) out.mutable_data()[i] = midpoint(a.data()[i], b.data()[i]);
    return out;
}

// Whether each pair of neighbouring values a <= b lies far enough apart
// for a split between them (split_rule.hpp).
py::array_t<std::uint8_t> values_apart_of(const py::object& below, const py::object& above) {
    const auto a = take<double>(below, {-1}, "below");
    const auto b = take<double>(above, {a.shape(0)}, "above");
    py::array_t<std::uint8_t> out(a.shape(0));
    for (py::ssize_t i = 0; i < a.shape(0); ++i) out.mutable_data()[i] = values_apart(a.data()[i], b.data()[i]);
    return out;
}

py::tuple child_keys_of(const py::object& keys) {
    const auto parents = take<std::uint64_t>(keys, {-1}, "keys");
    const py::ssize_t k = parents.shape(0);
    py::array_t<std::uint64_t> left(k), right(k);
    for (py::ssize_t i = 0; i < k; ++i) {
        left.mutable_data()[i] = child_key(parents.data()[i], true);
        right.mutable_data()[i] = child_key(parents.data()[i], false);
    }
    return py::make_tuple(left, right);
}

py::array_t<double> bounded_shares(const py::object& totals, const py::object& weight, const py::object& bounds) {
    const auto t = take<double>(totals, {-1, 2}, "totals");
    const py::ssize_t k = t.shape(0);
    const auto w = take<double>(weight, {k}, "weight");
    const auto b = take<double>(bounds, {k, 2}, "bounds");
    py::array_t<double> share(k);
    for (py::ssize_t i = 0; i < k; ++i)
        share.mutable_data()[i] = bounded_share({b.data()[2 * i], b.data()[2 * i + 1]}, t.data()[2 * i] / w.data()[i]);
    return share;
}

}  // namespace

void bind_distributed(py::module_& m) {
    m.def("bin_columns", &bin_columns,
          "bin_columns(X, bins, cuts, n_bins): writes into bins (uint16, shaped like X) each numeric column's "
          "bins: the number of its cuts at or below each value, n_bins for NaN; cuts[j] None leaves column j.");
    m.def("bin_and_range", &bin_and_range,
          "bin_and_range(X, bins, cuts, n_bins, weight): bin_columns, and per column and bin the smallest and "
          "largest value and the number of values of the rows of weight above zero (3 x columns x n_bins).");
    m.def("renumber_bins", &renumber_bins,
          "renumber_bins(bins, table): a copy of bins with each bin b of column j as table[j, b] (table: columns x "
          "(n_bins + 1), the missing bin n_bins kept).");
    m.def("lay_out", &lay_out_of,
          "lay_out(bins, codes, weight, order, slot, n_slots): the positions (order: each one's row of X) of weight "
          "above zero whose slot is from 0 to n_slots - 1, slot by slot in their order: (bins, codes, weight, order, "
          "starts), slot s holding positions starts[s]:starts[s + 1].");
    m.def("bin_ranges", &bin_ranges_of,
          "bin_ranges(X, bins, codes, weight, order, starts, n_bins, n_classes): per feature and value bin over every "
          "slot's rows, the smallest value, the largest and the rows (lo, hi, rows: features x n_bins; +inf, -inf "
          "and 0 for an empty bin).");
    m.def("node_summary", &node_summary,
          "node_summary(X, bins, codes, weight, order, starts, first, slots, n_bins, n_classes, need_lo, need_hi, "
          "spans[, counted]): per slot (first, first + 1, ... or, first an array, those; only those counted), "
          "feature and bin the class weights and rows (counts; "
          "whole rows per class where weight is None), the smallest and largest value of the bins listed (lo, hi), "
          "and with spans per slot and feature the smallest and largest value (span; None without).");
    m.def("list_runs", &list_runs_of,
          "list_runs(X, bins, codes, weight, order, starts, requests, runs, low, high, n_bins, n_classes): the values "
          "of the requested (slot, feature, bin) triples: (lists of those of runs 0, the other's run counts, run "
          "lo, run hi, the entries kept for run_lists).");
    m.def("run_lists", &run_lists_of,
          "run_lists(kept, picked, n_classes): the value lists of the runs picked, from list_runs' kept entries.");
    m.def("route", &route,
          "route(X, bins, codes, weight, order, starts, n_bins, n_classes, splits, to_left, to_right, lo, hi): the "
          "rows laid out for the next level (bins, codes, weight, order, starts, as lay_out), and per split between "
          "bins the largest value sent left and the smallest sent right (below, above).");
    m.def("drop_spares", &drop_spares, "drop_spares(): lets go of the freed layouts kept for the next route.");
    m.def("keep_spares", &keep_spares, py::arg("on"),
          "keep_spares(on): whether freed layouts are kept for the next route (off: those kept go).");
    m.def("spare_bytes", &spare_bytes, "spare_bytes(): the bytes of the freed layouts kept for the next route.");
    m.def("merge_value_lists", &merge_value_lists, "merge_value_lists(a, b): the lists of both, equal values merged.");
    m.def("node_stats", &node_stats_of, "node_stats(totals, n, weight, depth, params): (impurity, stops).");
    m.def("refine_mask", &refine_mask,
          "refine_mask(counts, lo, hi, totals, n, weight, params[, growth]): the bins whose values may hold the "
          "best split (growth: (searched features, keys, bounds), each None or per node).");
    m.def("refine_entries", &refine_entries,
          "refine_entries(counts, lo, hi, totals, n, weight, params, mask, runs[, growth]): of the runs of values "
          "(offsets, lo, counts, hi) of the bins of mask, those whose values may hold the best split.");
    m.def("choose_splits", &splits_of,
          "choose_splits(counts, lo, hi, totals, n, weight, params, mask, lists, impurity, total_weight[, growth]): "
          "each node's split, as a dict of arrays (feature -1: none; bounds: the children's).");
    m.def("draw_features", &draw_features_of,
          "draw_features(counts, lo, hi, totals, n, weight, params, keys, known_offsets, known[, span]): the features "
          "each node searches, and its children's known constants: (searched, offsets, constants).");
    m.def("midpoints", &midpoints_of,
          "midpoints(below, above): the thresholds between each largest value sent left and smallest sent right.");
    m.def("values_apart", &values_apart_of,
          "values_apart(below, above): 1 where neighbouring values lie far enough apart for a split between them.");
    m.def("child_keys", &child_keys_of, "child_keys(keys): the keys of the nodes' left and right children.");
    m.def("bounded_shares", &bounded_shares,
          "bounded_shares(totals, weight, bounds): each node's class-0 share clipped into its bounds.");
}
