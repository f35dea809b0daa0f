#pragma once
// The borrow flag of every object: it refuses re-entrant use (a callback reaching an object
// that is being changed) at once, with the binding layer's RuntimeError; nothing waits.

#include <atomic>
#include <cstdint>

#include "module/kit/errors.hpp"

namespace tarvek::py {

// 0: free; n: n shared borrows; all bits set: one exclusive borrow.
class BorrowFlag {
  public:
    static constexpr std::uint64_t exclusive = ~std::uint64_t{0};

    bool try_share() noexcept {
        std::uint64_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == exclusive) return false;
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::uint64_t expected = 0;
        return state_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

  private:
    std::atomic<std::uint64_t> state_{0};
};

class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
        if (!flag.try_share()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_) flag_->release_shared();
    }

  private:
    BorrowFlag* flag_;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) {
        if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(other.flag_) {
        other.flag_ = nullptr;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_) flag_->release_exclusive();
    }

  private:
    BorrowFlag* flag_;
};

}  // namespace tarvek::py
