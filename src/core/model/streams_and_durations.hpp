#pragma once
// One value per stream and one per state under a change stamp, as a model and its statistics
// hold them. Readers see them const; the only way to write them is an edit, which renews the
// stamp when it ends, so a write that forgets the renewal, or comes after it, does not compile.

#include <cstddef>
#include <utility>
#include <vector>

#include "core/numerics/change_stamp.hpp"

namespace tarvek {

// A vector that every reader sees const; only `Owner` reaches it to write.
template <class T, class Owner>
class GuardedVector {
  public:
    GuardedVector() = default;

    operator const std::vector<T>&() const noexcept { return values_; }
    std::size_t size() const noexcept { return values_.size(); }
    bool empty() const noexcept { return values_.empty(); }
    const T& operator[](std::size_t index) const noexcept { return values_[index]; }
    auto begin() const noexcept { return values_.begin(); }
    auto end() const noexcept { return values_.end(); }

  private:
    friend Owner;
    std::vector<T> values_;
};

template <class Stream, class Duration>
struct StreamsAndDurations {
    GuardedVector<Stream, StreamsAndDurations> streams;
    GuardedVector<Duration, StreamsAndDurations> durations;
    // Declared after the values it guards: a copy or an assignment changes the values first and
    // renews the stamp after, so no check running meanwhile can remember them half-written.
    ChangeStamp stamp;

    // Write access to the streams and durations while a named handle lives:
    // `{ auto edit = model.edit(); edit.durations()[0].mean = 2; }`. The stamp is renewed when
    // it ends, also when an exception ends it. No reference can be taken through a temporary
    // handle (`model.edit().durations()` does not compile): it would outlive the renewal.
    class Edit {
      public:
        Edit(const Edit&) = delete;
        Edit& operator=(const Edit&) = delete;
        ~Edit() { stamp_.renew(); }

        std::vector<Stream>& streams() const& noexcept { return streams_; }
        std::vector<Duration>& durations() const& noexcept { return durations_; }
        std::vector<Stream>& streams() const&& = delete;
        std::vector<Duration>& durations() const&& = delete;

      private:
        friend StreamsAndDurations;
        Edit(std::vector<Stream>& streams, std::vector<Duration>& durations,
             ChangeStamp& stamp) noexcept
            : streams_(streams), durations_(durations), stamp_(stamp) {}

        std::vector<Stream>& streams_;
        std::vector<Duration>& durations_;
        ChangeStamp& stamp_;
    };

    StreamsAndDurations() = default;
    StreamsAndDurations(std::vector<Stream> streams, std::vector<Duration> durations) noexcept {
        this->streams.values_ = std::move(streams);
        this->durations.values_ = std::move(durations);
    }
    StreamsAndDurations(const StreamsAndDurations&) = default;
    StreamsAndDurations(StreamsAndDurations&&) noexcept = default;
    StreamsAndDurations& operator=(StreamsAndDurations&&) noexcept = default;
    // Copies first: a copy that fails leaves the values, and their stamp, as they were.
    StreamsAndDurations& operator=(const StreamsAndDurations& other) {
        return *this = StreamsAndDurations(other);
    }

    Edit edit() noexcept { return Edit(streams.values_, durations.values_, stamp); }
};

}  // namespace tarvek
