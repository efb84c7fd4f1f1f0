// Node impurity and the split search's proxy for it, gini or entropy over
// all classes (the mean over the outputs, with several), from weighted class
// counts. The expressions are written
// operation for operation as scikit-learn's tree criteria compute them, so
// that equal counts give equal bits and the same split wins.
#pragma once

#include "kernels/learner/learner.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tavrin::kernels::learner {

// Entropy in bits: ln(x) / ln(2).
inline double log2_of(double x) {
    static const double ln2 = std::log(2.0);
    return std::log(x) / ln2;
}

class Impurity {
public:
    Impurity(Criterion kind, std::size_t n_classes) : kind_(kind), n_(n_classes) {}
    // Over several outputs: per_output[k] classes of output k, counted one
    // output after the other (n_classes in all).
    Impurity(Criterion kind, std::size_t n_classes, std::size_t outputs, const std::int64_t* per_output)
        : kind_(kind), n_(n_classes), outputs_(outputs), per_output_(outputs > 1 ? per_output : nullptr) {}
    Criterion kind() const { return kind_; }
    std::size_t outputs() const { return outputs_; }

    // The impurity of a node of total weight w with class weights counts[].
    double of(const double* counts, double w) const {
        if (per_output_) return mean_of(counts, w);
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
    double mean_of(const double* counts, double w) const {
        double sum = 0.0;
        if (kind_ == Criterion::gini) {
            for (std::size_t k = 0, c = 0; k < outputs_; ++k) {
                double sq = 0.0;
                for (const std::size_t end = c + static_cast<std::size_t>(per_output_[k]); c < end; ++c)
                    sq += counts[c] * counts[c];
                sum += 1.0 - sq / (w * w);
            }
        } else {
            for (std::size_t c = 0; c < n_; ++c) {
                double q = counts[c];
                if (q > 0.0) {
                    q /= w;
                    sum -= q * log2_of(q);
                }
            }
        }
        return sum / static_cast<double>(outputs_);
    }

    Criterion kind_;
    std::size_t n_;
    std::size_t outputs_ = 1;
    const std::int64_t* per_output_ = nullptr;
};

}  // namespace tavrin::kernels::learner
