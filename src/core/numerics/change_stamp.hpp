#pragma once
// Remembering that a whole-value check passed, so that repeated calls on an unchanged value do
// not scan it again. A value carries a `ChangeStamp`: a process-wide unique number that every
// change of the value replaces. A `PassedCheck` records the stamp at which its check passed;
// only success is remembered, so a value that failed is checked in full again.
//
// Both are atomic: several threads may read one value, and check it, at the same time. A copy
// or an assignment is a change: it gets a new stamp and forgets what passed.

#include <atomic>
#include <cstdint>

namespace tarvek {

class ChangeStamp {
  public:
    ChangeStamp() noexcept : value_(fresh()) {}
    ChangeStamp(const ChangeStamp&) noexcept : value_(fresh()) {}
    ChangeStamp& operator=(const ChangeStamp&) noexcept {
        renew();
        return *this;
    }

    // Marks the value as changed.
    void renew() noexcept { value_.store(fresh(), std::memory_order_release); }
    std::uint64_t value() const noexcept { return value_.load(std::memory_order_acquire); }

  private:
    static std::uint64_t fresh() noexcept {
        // Never 0, which `PassedCheck` uses for "nothing passed".
        static std::atomic<std::uint64_t> next{1};
        return next.fetch_add(1, std::memory_order_relaxed);
    }

    std::atomic<std::uint64_t> value_;
};

class PassedCheck {
  public:
    PassedCheck() noexcept = default;
    PassedCheck(const PassedCheck&) noexcept {}
    PassedCheck& operator=(const PassedCheck&) noexcept {
        forget();
        return *this;
    }

    // Whether the check passed at `stamp`, a value of the checked value's `ChangeStamp` read
    // before the check; remembering that value, not the stamp at the end, means a change made
    // during the check is never taken for passed.
    bool holds_at(std::uint64_t stamp) const noexcept {
        return passed_at_.load(std::memory_order_acquire) == stamp;
    }
    void remember(std::uint64_t stamp) const noexcept {
        passed_at_.store(stamp, std::memory_order_release);
    }
    void forget() const noexcept { passed_at_.store(0, std::memory_order_release); }

  private:
    mutable std::atomic<std::uint64_t> passed_at_{0};
};

}  // namespace tarvek
