// Node impurity and the split search's proxy for it, gini or entropy over
// all classes, from weighted class counts. The expressions are written
// operation for operation as scikit-learn's tree criteria compute them, so
// that equal counts give equal bits and the same split wins.
#pragma once

#include "kernels/learner/learner.hpp"

#include <cmath>
#include <cstddef>

namespace tavrin::kernels::learner {

// Entropy in bits: ln(x) / ln(2).
inline double log2_of(double x) {
    static const double ln2 = std::log(2.0);
    return std::log(x) / ln2;
}

class Impurity {
public:
    Impurity(Criterion kind, std::size_t n_classes) : kind_(kind), n_(n_classes) {}
    Criterion kind() const { return kind_; }

    // The impurity of a node of total weight w with class weights counts[].
    double of(const double* counts, double w) const {
        if (kind_ == Criterion::gini) {
            double sq = 0.0;
            for (std::size_t c = 0; c < n_; ++c) sq += counts[c] * counts[c];
            return gini_of_squares(sq, w);
        }
        double entropy = 0.0;
        for (std::size_t c = 0; c < n_; ++c) {
            double q = counts[c];
            if (q > 0.0) {
                q /= w;
                entropy -= q * log2_of(q);
            }
        }
        return entropy;
    }

    // The gini impurity of a node of total weight w whose class weights'
    // squares sum to sq (summed in class order, as of() does).
    static double gini_of_squares(double sq, double w) {
        double gini = 0.0;
        gini += 1.0 - sq / (w * w);
        return gini;
    }

    // What the search maximises: minus the weighted impurity of the two
    // children.
    double proxy(const double* left, double wl, const double* right, double wr) const {
        return children(of(left, wl), wl, of(right, wr), wr);
    }
    static double children(double il, double wl, double ir, double wr) { return -wr * ir - wl * il; }

    // The weighted impurity decrease of a split of a node of weight wn out
    // of a total weight `total`.
    static double improvement(double total, double wn, double parent, double wl, double il,
                              double wr, double ir) {
        return (wn / total) * (parent - (wr / wn * ir) - (wl / wn * il));
    }

private:
    Criterion kind_;
    std::size_t n_;
};

}  // namespace tavrin::kernels::learner
