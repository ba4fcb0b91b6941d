// One piece of work run beside the caller (the words of an element
// operation while the caller computes its values), joined when the caller
// needs its result.
//
// Tasks run on one long-lived worker thread per process: starting a thread
// per task cost about 100 microseconds here, a tenth of a million-element
// operation.  A child process made by fork() has no copy of that thread, so
// the first task submitted in a new process starts a worker of its own (the
// parent's worker object, whose mutex may have been copied locked, is left
// alone).
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace morvel {

class BackgroundTask;

namespace detail {

class Worker {
public:
    // Queues t on this process's worker, starting it when needed; false
    // when no thread can be started (the caller then runs t itself).
    static bool submit(BackgroundTask* t);

private:
    Worker() { std::thread([this] { loop(); }).detach(); }

    void push(BackgroundTask* t) {
        {
            std::lock_guard<std::mutex> g(mu_);
            queue_.push_back(t);
        }
        cv_.notify_one();
    }

    [[noreturn]] void loop();

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<BackgroundTask*> queue_;
};

}  // namespace detail

class BackgroundTask {
public:
    // Queues work on the worker; when no worker can be started, runs it
    // here and now (the result is the same, only not overlapped).
    explicit BackgroundTask(std::function<void()> work) : work_(std::move(work)) {
        if (!detail::Worker::submit(this)) run();
    }

    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // The worker may still be reading the caller's buffers: wait for it.
    ~BackgroundTask() { wait_done(); }

    // Waits for the work; rethrows what it threw (once: a second call after
    // a failure does not throw again, and the caller must not use the
    // output).
    void wait() {
        wait_done();
        if (error_) {
            std::exception_ptr e = error_;
            error_ = nullptr;
            failed_ = true;
            std::rethrow_exception(e);
        }
    }

    bool failed() const { return failed_; }

private:
    friend class detail::Worker;

    void run() noexcept {
        try {
            work_();
        } catch (...) {
            error_ = std::current_exception();
        }
        // Notified under the lock: the waiter may destroy this task as soon
        // as it sees done_, so nothing here may touch it after the unlock.
        std::lock_guard<std::mutex> g(mu_);
        done_ = true;
        cv_.notify_all();
    }

    void wait_done() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return done_; });
    }

    std::function<void()> work_;
    std::exception_ptr error_;
    bool failed_ = false;
    bool done_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
};

namespace detail {

inline void Worker::loop() {
    for (;;) {
        BackgroundTask* t;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [this] { return !queue_.empty(); });
            t = queue_.front();
            queue_.pop_front();
        }
        t->run();
    }
}

inline bool Worker::submit(BackgroundTask* t) {
    // The worker of this process, and the process it was started in.  The
    // object lives as long as the process (its thread never ends).
    static std::mutex create_mu;
    static Worker* worker = nullptr;
    static pid_t owner = 0;
    Worker* w;
    {
        std::lock_guard<std::mutex> g(create_mu);
        const pid_t pid = ::getpid();
        if (worker == nullptr || owner != pid) {
            try {
                worker = new Worker();
                owner = pid;
            } catch (const std::system_error&) {
                worker = nullptr;
                return false;
            }
        }
        w = worker;
    }
    w->push(t);
    return true;
}

}  // namespace detail

}  // namespace morvel
