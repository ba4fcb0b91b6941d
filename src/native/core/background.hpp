// One piece of work run on its own thread while the caller does something
// else (the value half of an element operation, typically), joined when
// the caller needs its result.
//
// A fresh thread per task keeps this free of shared state: no pool to
// restart after a fork, nothing left running at interpreter shutdown.  The
// start costs tens of microseconds, so callers use it only for arrays large
// enough to pay for that.
#pragma once

#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace morvel {

class BackgroundTask {
public:
    // Starts work on a new thread; when no thread can be started, runs it
    // here and now (the result is the same, only not overlapped).
    explicit BackgroundTask(std::function<void()> work) : work_(std::move(work)) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            run();
        }
    }

    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    ~BackgroundTask() {
        if (thread_.joinable()) thread_.join();
    }

    // Waits for the work; rethrows what it threw (once: a second call after
    // a failure does not throw again, and the caller must not use the
    // output).
    void wait() {
        if (thread_.joinable()) thread_.join();
        if (error_) {
            std::exception_ptr e = error_;
            error_ = nullptr;
            failed_ = true;
            std::rethrow_exception(e);
        }
    }

    bool failed() const { return failed_; }

private:
    void run() noexcept {
        try {
            work_();
        } catch (...) {
            error_ = std::current_exception();
        }
    }

    std::function<void()> work_;
    std::exception_ptr error_;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace morvel
