#pragma once

#include <utility>
#include <variant>

// A value or the failure that stands in its place, for calls that make something (a parsed file,
// a run set-up) and may fail instead. The failure is the project's one result type
// (net::Result); this layer only carries it.
template <class T, class Failure> class Expected {
public:
    Expected(T value) : m_held(std::in_place_index<0>, std::move(value)) {}
    Expected(Failure failure) : m_held(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return m_held.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(m_held); }
    const T& value() const { return std::get<0>(m_held); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The failure; only when !ok().
    const Failure& failure() const { return std::get<1>(m_held); }

private:
    std::variant<T, Failure> m_held;
};
