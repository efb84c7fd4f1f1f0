// Keeps pandas' deprecation warning for is_categorical_dtype from reaching
// the caller while the module itself calls the dtype predicates.
//
// Why not warnings.catch_warnings(): it copies the whole filter list on
// entry and writes the copy back on exit, so two threads whose calls
// interleave can drop each other's filters or leave an "ignore" behind for
// good. Here one narrow filter object (that message, DeprecationWarning and
// its subclasses, any module) stands at the front of warnings.filters while
// at least one call is inside. A process-wide count, read and written only
// under the GIL with no interpreter code in between, decides who puts it in
// and who takes it out; it is taken out by identity, so every other filter,
// and every change made meanwhile by others, stays as it is. While it
// stands, the same warning raised by another thread is silenced as well.
#pragma once

#include "runtime/ref.hpp"

namespace tavrin::rt {

class QuietCategoricalDeprecation {
public:
    QuietCategoricalDeprecation() = default;
    QuietCategoricalDeprecation(const QuietCategoricalDeprecation&) = delete;
    QuietCategoricalDeprecation& operator=(const QuietCategoricalDeprecation&) = delete;
    // Leaves; a pending exception passes through untouched.
    ~QuietCategoricalDeprecation();

    // Puts the filter in place (or joins the calls already inside).
    // Returns -1 with an error set if the filter cannot be made.
    int enter();

private:
    bool entered_ = false;
};

}  // namespace tavrin::rt
