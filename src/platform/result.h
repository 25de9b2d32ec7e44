#pragma once

// A value or the Error that prevented it: how every library below the program
// returns a failure that has a reason.
//
//   Result<PngImage> image = PngImage::fromData(bytes);
//   if (!image) return image.error();   // handed on, its reason and causes with it
//   use(image.value());                 // or *image, image->width()
//
// A library keeps its own domain and codes (json, http, crash...); the error that
// caused one goes under it as `underlying`, so a caller can show the whole chain.

#include <cassert>
#include <utility>
#include <variant>

#include "platform/error.h"

namespace strombel::platform {

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    /// The value; only valid when ok().
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    const T& operator*() const& { return value(); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }
    /// The value when ok(), else `fallback`.
    T valueOr(T fallback) const& { return ok() ? std::get<0>(state_) : std::move(fallback); }
    /// True when there is a value and it equals `value`.
    friend bool operator==(const Result& result, const T& value) { return result.ok() && result.value() == value; }

    /// The error; only valid when !ok().
    const Error& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    Error&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

private:
    std::variant<T, Error> state_;
};

/// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const& {
        assert(failed_);
        return error_;
    }
    Error&& error() && {
        assert(failed_);
        return std::move(error_);
    }

private:
    Error error_;
    bool failed_ = false;
};

}  // namespace strombel::platform
