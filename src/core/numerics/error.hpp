#pragma once
// The core reports every failure as an exception carrying one fixed message.

#include <cstddef>
#include <exception>

namespace tarvek {

// Base of every core failure; the message is a string literal with static lifetime.
class Error : public std::exception {
  public:
    template <std::size_t N>
    explicit Error(const char (&message)[N]) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

  protected:
    struct Literal {};
    Error(Literal, const char* message) noexcept : message_(message) {}

  private:
    const char* message_;
};

// A validation or computation error of the model, data or algorithms.
class ModelError : public Error {
  public:
    using Error::Error;
    // For messages chosen at run time among literals (never a temporary buffer).
    static ModelError from_static(const char* message) noexcept {
        return ModelError(Literal{}, message);
    }

  private:
    ModelError(Literal tag, const char* message) noexcept : Error(tag, message) {}
};

}  // namespace tarvek
