// Gini impurity over all class codes at successive positions of a sorted
// node, in the number semantics of the interpreter's float arithmetic.
#pragma once

#include <cstddef>
#include <vector>

namespace tavrin::kernels {

// q ** 2 as the interpreter's float power computes it: the C library's
// pow(q, 2.0), called at run time. pow(q, 2.0) and q * q differ in about
// one quotient in a thousand, and that decides exact ties.
double float_power_square(double q);

// 1.0 - sum((counts[x] / divisor) ** 2 for x in range(n)), the sum taken
// left to right from 0: the Gini impurity of one side.
double side_impurity(const long long* counts, std::size_t n, double divisor);

// The running class counts of a scan over the node's rows in sorted order.
// Left counts start at zero, right counts at the node's totals; advance()
// moves one row across and yields the weighted impurity of the position
// just reached. Counts are exact integers (well below 2**53), so every
// quotient is the one the interpreter forms from its integer objects.
class ClassSweep {
public:
    // `rows` is the node's row count m. May throw std::bad_alloc.
    ClassSweep(const std::vector<long long>& totals, long long rows);

    std::size_t classes() const { return left_.size(); }
    long long position() const { return position_; }

    // Moves a row of class `code` (0 <= code < classes()) from right to
    // left, then returns
    //   (i * gini_left + (m - i) * gini_right) / m
    // for the new position i = position().
    double advance(std::size_t code);

private:
    std::vector<long long> left_;
    std::vector<long long> right_;
    long long rows_;
    long long position_ = 0;  // rows 0 .. position_-1 are on the left
};

}  // namespace tavrin::kernels
