#pragma once
// Remembering that a whole-value check passed, so that repeated calls on an unchanged value do
// not scan it again. A value carries a `ChangeStamp`: a process-wide unique number that every
// change of the value replaces. A `PassedCheck` records the stamp at which its check passed;
// only success is remembered, so a value that failed is checked in full again.
//
// Both are atomic: several threads may read one value, and check it, at the same time. A copy,
// an assignment or a move is a change: it gets a new stamp and forgets what passed, and a move
// renews the stamp of the value it empties too.
//
// Builds that define TARVEK_VERIFY_REMEMBERED_CHECKS still run every check that a remembered
// pass would skip, and stop the process when it fails: a value was then changed without
// renewing its stamp. The build defines it for the core and for everything built on the core
// alike (the sanitized and Debug builds), never a header: one program holds one `run`.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace tarvek {

class ChangeStamp {
  public:
    ChangeStamp() noexcept : value_(fresh()) {}
    ChangeStamp(const ChangeStamp&) noexcept : value_(fresh()) {}
    ChangeStamp(ChangeStamp&& emptied) noexcept : value_(fresh()) { emptied.renew(); }
    ChangeStamp& operator=(const ChangeStamp&) noexcept {
        renew();
        return *this;
    }
    ChangeStamp& operator=(ChangeStamp&& emptied) noexcept {
        renew();
        emptied.renew();
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

#ifdef TARVEK_COUNT_VALUE_CHECKS
// Test builds count the value checks that no remembered pass skipped.
inline std::atomic<std::uint64_t> value_checks_run{0};
#endif

// One check of a stamped value: the stamp is read as it begins, and the value checks run only
// when `check` did not pass at that stamp.
class RememberedCheck {
  public:
    RememberedCheck(const PassedCheck& check, const ChangeStamp& stamp) noexcept
        : check_(check), stamp_(stamp.value()), known_(check.holds_at(stamp_)) {}

    // Whether the value passed at the stamp read: its value checks may be skipped.
    bool known() const noexcept { return known_; }

    // Runs `value_check` unless the pass is known.
    template <class ValueCheck>
    void run(ValueCheck&& value_check) const {
        if (!known_) {
#ifdef TARVEK_COUNT_VALUE_CHECKS
            value_checks_run.fetch_add(1, std::memory_order_relaxed);
#endif
            value_check();
            return;
        }
#ifdef TARVEK_VERIFY_REMEMBERED_CHECKS
        verified(value_check);
#endif
    }

    // Runs `guard` only when the pass is known: a part of the value checks that the caller
    // still needs then (a shape that later steps index by). It passed with the rest at the
    // stamp read, so in verify builds its failure stops the process as `run`'s does.
    template <class Guard>
    void run_when_known(Guard&& guard) const {
        if (!known_) return;
#ifdef TARVEK_VERIFY_REMEMBERED_CHECKS
        verified(guard);
#else
        guard();
#endif
    }

    // Remembers that the value passed at the stamp read.
    void remember() const noexcept { check_.remember(stamp_); }

  private:
    template <class Check>
    static void verified(Check& check) {
        try {
            check();
        } catch (const std::exception& error) {
            std::fprintf(stderr,
                         "tarvek: a value that passed its checks was changed without renewing "
                         "its change stamp; the check now fails with \"%s\"\n",
                         error.what());
            std::abort();
        }
    }

    const PassedCheck& check_;
    std::uint64_t stamp_;
    bool known_;
};

}  // namespace tarvek
