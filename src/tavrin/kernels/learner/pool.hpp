// A fixed set of worker threads for the length of one fit: run(n, job)
// calls job(task, worker) for tasks 0 .. n-1 on the calling thread and the
// workers together, and returns when all are done; the first exception a
// job threw (std::bad_alloc, say) is thrown again from run(), and tasks not
// yet started when it was thrown are not run.
#pragma once

#include <condition_variable>
#include <exception>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin::kernels::learner {

class Pool {
public:
    // `threads` counts the caller: 1 starts no worker.
    explicit Pool(std::size_t threads);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return workers_.size() + 1; }
    void run(std::size_t tasks, const std::function<void(std::size_t, std::size_t)>& job);

private:
    void work(std::size_t worker);
    // Takes tasks of the current round until none is left.
    void drain(std::size_t worker);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::size_t, std::size_t)>* job_ = nullptr;
    std::size_t tasks_ = 0, next_ = 0, finished_ = 0;
    std::size_t round_ = 0;
    std::exception_ptr error_;
    bool stop_ = false;
};

}  // namespace tavrin::kernels::learner
