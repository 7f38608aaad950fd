#pragma once

#include <utility>
#include <variant>

namespace velto {

// The failing side of a Result; built with fail(e) so that T and E may be the same type.
template <typename E>
struct Failure {
    E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error)
{
    return {std::forward<E>(error)};
}

// Either a value or an error. Operations that "may fail" return this instead of throwing,
// because exceptions thrown inside detached coroutines are lost.
template <typename T, typename E>
class Result {
public:
    Result(T value) : m_value(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : m_value(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_value); }
    const T& value() const& { return std::get<0>(m_value); }
    T&& value() && { return std::get<0>(std::move(m_value)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const { return std::get<1>(m_value); }

private:
    std::variant<T, E> m_value;
};

template <typename E>
class Result<void, E> {
public:
    Result() = default;
    Result(Failure<E> failure) : m_value(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }
    const E& error() const { return std::get<1>(m_value); }

private:
    std::variant<std::monostate, E> m_value;
};

} // namespace velto
