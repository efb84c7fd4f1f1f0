// Strided: a one-dimensional view over memory owned elsewhere (a typed
// buffer's items), with alignment-safe element access.
#pragma once

#include <cstddef>
#include <cstring>

namespace tavrin::kernels {

template <class T>
class Strided {
public:
    Strided() = default;
    // `stride` is in bytes and may be negative or not a multiple of
    // sizeof(T); items need not be aligned, so every access goes through
    // memcpy (one plain load or store once compiled).
    Strided(void* data, std::ptrdiff_t stride, std::ptrdiff_t size)
        : data_(static_cast<char*>(data)), stride_(stride), size_(size) {}

    std::ptrdiff_t size() const { return size_; }

    T load(std::ptrdiff_t i) const {
        T v;
        std::memcpy(&v, data_ + i * stride_, sizeof v);
        return v;
    }
    void store(std::ptrdiff_t i, T v) const { std::memcpy(data_ + i * stride_, &v, sizeof v); }

    // Turns a negative index into one counted from the end; false when the
    // index is outside the view either way.
    bool wrap(std::ptrdiff_t& i) const {
        if (i < 0) i += size_;
        return i >= 0 && i < size_;
    }

private:
    char* data_ = nullptr;
    std::ptrdiff_t stride_ = 0;
    std::ptrdiff_t size_ = 0;
};

}  // namespace tavrin::kernels
