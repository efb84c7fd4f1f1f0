// The split-search kernels on their own: the two-class scan's worked
// cases, tie order, index wrapping, bounds, strided input and NaN, and
// the all-class sweep's float-power arithmetic.
#include "kernels/kernels.hpp"

#include "check.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

using namespace tavrin::kernels;

namespace {

template <class T>
Strided<T> view(std::vector<T>& v) {
    return Strided<T>(v.data(), static_cast<std::ptrdiff_t>(sizeof(T)),
                      static_cast<std::ptrdiff_t>(v.size()));
}

struct Case {
    std::vector<long> classes;
    std::vector<double> left, right, thresholds;
};

ScanStatus scan(Case c, ScanBest& best, int idx = 3) {
    return two_class_gini_scan(view(c.classes), view(c.left), view(c.right),
                               view(c.thresholds), idx, best);
}

void worked_examples() {
    Case c{{0, 0, 1, 1}, {0, 0}, {2, 2}, {1.0, 2.0, 3.0, 4.0}};
    ScanBest best{0.5, -999, -999.0, false};
    CHECK(scan(c, best) == ScanStatus::ok);
    CHECK(best.recorded && best.gini == 0.0 && best.idx == 3 && best.thr == 2.5);

    // Nothing is strictly below 0.0.
    ScanBest none{0.0, -999, -999.0, false};
    CHECK(scan(c, none) == ScanStatus::ok);
    CHECK(!none.recorded && none.idx == -999 && none.thr == -999.0);

    // Ties in the thresholds are skipped; the only candidate ties best.
    Case ties{{0, 1, 0, 1}, {0, 0}, {2, 2}, {1.0, 1.0, 2.0, 2.0}};
    ScanBest half{0.5, -999, -999.0, false};
    CHECK(scan(ties, half) == ScanStatus::ok && !half.recorded);
    ScanBest above{0.75, -999, -999.0, false};
    CHECK(scan(ties, above) == ScanStatus::ok);
    CHECK(above.recorded && above.gini == 0.5 && above.thr == 1.5);

    // A third code moves but weighs nothing: left impurity is 1.0 at i=1.
    Case three{{2, 0, 1}, {0, 0, 0}, {1, 1, 1}, {1.0, 2.0, 3.0}};
    ScanBest b3{10.0, -999, -999.0, false};
    CHECK(scan(three, b3) == ScanStatus::ok);
    // i=1: (1*1.0 + 2*0.5) / 3 = 2/3; i=2: (2*0.75 + 1*0.0) / 3 = 0.5.
    CHECK(b3.recorded && b3.gini == 0.5 && b3.thr == 2.5);
}

void tie_order_keeps_the_first_position() {
    // Positions 1 and 3 reach the same impurity; position 1 must win.
    Case c{{0, 1, 1, 0}, {0, 0}, {2, 2}, {1.0, 2.0, 3.0, 4.0}};
    ScanBest best{1.0, -999, -999.0, false};
    CHECK(scan(c, best) == ScanStatus::ok);
    CHECK(best.thr == 1.5);
}

void bounds_and_wrapping() {
    Case neg{{-1, -1, -2}, {0, 0}, {0, 0}, {1.0, 2.0, 3.0}};
    ScanBest b{1.0, -999, -999.0, false};
    CHECK(scan(neg, b) == ScanStatus::ok);

    Case far{{0, 2, 1}, {0, 0}, {2, 2}, {1.0, 2.0, 3.0}};
    ScanBest b2{1.0, -999, -999.0, false};
    CHECK(scan(far, b2) == ScanStatus::out_of_bounds);
    Case very_negative{{-3, 0}, {0, 0}, {2, 2}, {1.0, 2.0}};
    CHECK(scan(very_negative, b2) == ScanStatus::out_of_bounds);

    // One count entry: fine for a single row, out of bounds from i=1 on.
    Case one{{0}, {0}, {1}, {1.0}};
    CHECK(scan(one, b2) == ScanStatus::ok);
    Case one2{{0, 0}, {0}, {2}, {1.0, 2.0}};
    CHECK(scan(one2, b2) == ScanStatus::out_of_bounds);

    // Thresholds shorter than the classes.
    Case short_thr{{0, 1, 0}, {0, 0}, {2, 1}, {1.0, 2.0}};
    ScanBest b3{1.0, -999, -999.0, false};
    CHECK(scan(short_thr, b3) == ScanStatus::out_of_bounds);
    CHECK(b3.recorded && b3.thr == 1.5);  // position 1 ran before position 2 failed
}

void strided_and_unaligned() {
    // classes every second long, thresholds reversed with a negative stride,
    // counts at an odd byte offset.
    std::vector<long> classes{0, 9, 0, 9, 1, 9, 1, 9};
    std::vector<double> thr{4.0, 3.0, 2.0, 1.0};
    std::vector<unsigned char> raw(2 * sizeof(double) * 2 + 1);
    double zero = 0.0, two = 2.0;
    std::memcpy(raw.data() + 1, &zero, 8);
    std::memcpy(raw.data() + 9, &zero, 8);
    std::vector<unsigned char> raw2(2 * sizeof(double) + 3);
    std::memcpy(raw2.data() + 3, &two, 8);
    std::memcpy(raw2.data() + 11, &two, 8);
    ScanBest best{0.5, -999, -999.0, false};
    auto st = two_class_gini_scan(Strided<long>(classes.data(), 2 * sizeof(long), 4),
                                  Strided<double>(raw.data() + 1, 8, 2),
                                  Strided<double>(raw2.data() + 3, 8, 2),
                                  Strided<double>(thr.data() + 3, -8, 4), 7, best);
    CHECK(st == ScanStatus::ok);
    CHECK(best.recorded && best.gini == 0.0 && best.idx == 7 && best.thr == 2.5);
}

void nan_midpoints_are_no_candidates() {
    Case c{{0, 1, 1}, {0, 0}, {1, 2}, {1.0, NAN, NAN}};
    ScanBest best{1.0, -999, -999.0, false};
    CHECK(scan(c, best) == ScanStatus::ok && !best.recorded);
    Case inf{{0, 1}, {0, 0}, {1, 1}, {-INFINITY, INFINITY}};
    ScanBest b2{1.0, -999, -999.0, false};
    CHECK(scan(inf, b2) == ScanStatus::ok && !b2.recorded);
}

void float_power_is_pow_not_a_product() {
    // Quotients of small integers on which pow(q, 2.0) and q * q differ
    // exist; the kernel must give pow's answer on all of them.
    volatile double two = 2.0;
    int differing = 0;
    for (long a = 1; a < 400; ++a) {
        for (long b = 1; b < 400; ++b) {
            const double q = static_cast<double>(a) / static_cast<double>(b);
            const double expect = std::pow(q, two);
            CHECK(float_power_square(q) == expect);
            CHECK(float_power_square(-q) == expect);
            if (expect != q * q) ++differing;
        }
    }
    CHECK(differing > 0);
    CHECK(float_power_square(0.0) == 0.0 && !std::signbit(float_power_square(-0.0)));
}

void sweep_matches_the_expression() {
    std::vector<long long> totals{2, 1, 1};
    ClassSweep s(totals, 4);
    // Codes 2, 2, 0, 1 sorted: positions 1..3 give 0.5, 0.25, 1/3 (checked
    // against the same arithmetic written out).
    std::vector<std::size_t> codes{2, 0, 1};
    auto expect = [](std::vector<long long> l, std::vector<long long> r, long long i) {
        const double id = static_cast<double>(i), rd = static_cast<double>(4 - i);
        const double gl = side_impurity(l.data(), l.size(), id);
        const double gr = side_impurity(r.data(), r.size(), rd);
        return (id * gl + rd * gr) / 4.0;
    };
    CHECK(s.advance(2) == expect({0, 0, 1}, {2, 1, 0}, 1));
    CHECK(s.advance(0) == expect({1, 0, 1}, {1, 1, 0}, 2));
    CHECK(s.advance(1) == expect({1, 1, 1}, {1, 0, 0}, 3));
    CHECK(s.position() == 3 && s.classes() == 3);
    // 1.0 - (0.5**2 + 0.5**2) = 0.5 on the right at i = 2 of codes 0,0,1,1.
    std::vector<long long> two{2, 2};
    ClassSweep t(two, 4);
    t.advance(0);
    CHECK(t.advance(0) == 0.0);
}

}  // namespace

int main() {
    worked_examples();
    tie_order_keeps_the_first_position();
    bounds_and_wrapping();
    strided_and_unaligned();
    nan_midpoints_are_no_candidates();
    float_power_is_pow_not_a_product();
    sweep_matches_the_expression();
    return kernel_test::finish();
}
