#pragma once

// A value or the Error that prevented it.
//
//   Result<Value> pack = JSONDecoder::decode(text);
//   if (!pack.ok()) { STROMBEL_LOG_ERROR("{}", pack.error().description()); return; }
//   use(pack.value());

#include <cassert>
#include <utility>
#include <variant>

#include "json/error.h"

namespace strombel::json {

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
    /// The value when ok(), else `fallback`.
    T valueOr(T fallback) const& { return ok() ? std::get<0>(state_) : std::move(fallback); }

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

private:
    Error error_;
    bool failed_ = false;
};

}  // namespace strombel::json
