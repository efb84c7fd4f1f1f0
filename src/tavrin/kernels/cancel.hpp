// Stopping long kernel work early. The caller hands the kernel a hook; the
// kernel counts the work it does in units cheap to keep (rows visited) and,
// every few milliseconds of it, asks the hook whether to stop.
#pragma once

#include <chrono>
#include <cstddef>

namespace tavrin::kernels {

class CancelHook {
public:
    virtual ~CancelHook() = default;
    // True when the work should stop. Asked only from the thread that was
    // given the hook.
    virtual bool cancelled() = 0;
};

class CancelPoll {
public:
    // The clock is read once per `units_per_look` units of work, and the
    // hook asked at most once per interval.
    explicit CancelPoll(CancelHook* hook, std::size_t units_per_look = std::size_t{1} << 15)
        : hook_(hook), units_per_look_(units_per_look), last_(std::chrono::steady_clock::now()) {}

    // `units` of work done since the last call; true when the hook says stop.
    bool stop(std::size_t units) {
        if (!hook_) return false;
        pending_ += units;
        if (pending_ < units_per_look_) return false;
        pending_ = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < kInterval) return false;
        last_ = now;
        return hook_->cancelled();
    }

private:
    static constexpr std::chrono::milliseconds kInterval{10};
    CancelHook* hook_;
    std::size_t units_per_look_;
    std::size_t pending_ = 0;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace tavrin::kernels
