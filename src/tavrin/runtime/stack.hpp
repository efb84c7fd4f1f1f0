// A guard for the C stack. Method calls nest on the C stack (tree growth
// recurses once per level), and a recursion limit raised far above its
// default would let them run past its end. The guard refuses a call that
// finds less than a safe margin of stack left.
#pragma once

namespace tavrin::rt {

// True (with RecursionError set) when the calling thread's stack is nearly
// used up; false otherwise.
bool stack_exhausted();

// How many more nested calls the interpreter's recursion limit allows the
// calling thread right now (Python frames and guarded C calls alike).
long recursion_headroom();

}  // namespace tavrin::rt
