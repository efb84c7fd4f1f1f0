// Keeping the cyclic garbage collector off while a step makes many
// container objects that hold no cycles (result lists, tree nodes):
// collecting meanwhile would only traverse them again and again.
#pragma once

#include "runtime/python.hpp"

namespace tavrin::rt {

// Turns the collector off for its lifetime if it was on, and back on
// after. Needs the interpreter lock for its whole life; a failure to ask
// leaves the collector as it was (and no error set).
class PauseCollector {
public:
    PauseCollector();
    ~PauseCollector();
    PauseCollector(const PauseCollector&) = delete;
    PauseCollector& operator=(const PauseCollector&) = delete;

private:
    bool paused_ = false;
};

}  // namespace tavrin::rt
