#include "kernels/learner/pool.hpp"

#include <algorithm>

namespace tavrin::kernels::learner {

Pool::Pool(std::size_t threads) {
    // More threads than the machine runs at once only add switching.
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, cores);
    for (std::size_t w = 1; w < threads; ++w) {
        try {
            workers_.emplace_back([this, w] { work(w); });
        } catch (...) {
            break;  // fewer threads: the work still gets done
        }
    }
}

Pool::~Pool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void Pool::drain(std::size_t worker) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (next_ < tasks_) {
        const std::size_t task = next_++;
        if (error_) {  // the round has failed: what is left is not run
            if (++finished_ == tasks_) done_.notify_all();
            continue;
        }
        lock.unlock();
        std::exception_ptr failed;
        try {
            (*job_)(task, worker);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        if (failed && !error_) error_ = failed;
        if (++finished_ == tasks_) done_.notify_all();
    }
}

void Pool::run(std::size_t tasks, const std::function<void(std::size_t, std::size_t)>& job) {
    if (tasks == 0) return;
    if (workers_.empty() || tasks == 1) {
        for (std::size_t t = 0; t < tasks; ++t) job(t, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        tasks_ = tasks;
        next_ = finished_ = 0;
        error_ = nullptr;
        ++round_;
    }
    wake_.notify_all();
    drain(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return finished_ == tasks_; });
    job_ = nullptr;
    tasks_ = 0;
    if (error_) {
        std::exception_ptr failed = error_;
        error_ = nullptr;
        std::rethrow_exception(failed);
    }
}

void Pool::work(std::size_t worker) {
    std::size_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || round_ != seen; });
            if (stop_) return;
            seen = round_;
        }
        drain(worker);
    }
}

}  // namespace tavrin::kernels::learner
