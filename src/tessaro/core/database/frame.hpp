// The declarative description of the module's functions, shared by the table
// (table.cpp) and the machinery that turns it into callables (frame.cpp).
#pragma once

#include <span>
#include <utility>

#include "database.hpp"

namespace tessaro::db {

enum class Kind : unsigned char {
    positional,  // positional-or-keyword
    var,         // *args: collects the remaining positional arguments
    keyword,     // keyword-only
};

enum class Conv : unsigned char {
    any,          // taken as given
    exact_list,   // type must be list itself
    exact_str,    // type must be str itself
    exact_tuple,  // type must be tuple itself
    truth,        // only the truth value reaches the body
    integer,      // int as is; other numbers through int(); else refused
};

enum class Default : unsigned char { required, yes /* True */, zero /* 0 */ };

struct Param {
    const char* name;
    Kind kind;
    Conv conv;
    Default fallback;
    const char* annotation;
};

constexpr Param positional(const char* name, const char* ann, Conv conv = Conv::any,
                           Default fallback = Default::required) {
    return {name, Kind::positional, conv, fallback, ann};
}
constexpr Param var(const char* name, const char* ann) { return {name, Kind::var, Conv::any, Default::required, ann}; }
constexpr Param keyword(const char* name, const char* ann, Conv conv, Default fallback = Default::required) {
    return {name, Kind::keyword, conv, fallback, ann};
}

constexpr std::size_t max_params = 3;

// The parsed arguments, in parameter order: a variadic parameter holds its
// tuple, a truth-valued one True or False, an integer one an exact int.
struct Args {
    std::array<py::object, max_params> v;

    py::handle operator[](std::size_t i) const { return v[i]; }
    bool flag(std::size_t i) const { return v[i].ptr() == Py_True; }
};

using Body = py::object (*)(const Env&, const Args&);

// How a parsed argument reaches a body parameter of type T: a truth value as
// bool, everything else as the object.
template <class T>
struct Pass;
template <>
struct Pass<py::handle> {
    static constexpr bool truth = false;
    static py::handle get(const Args& a, std::size_t i) { return a[i]; }
};
template <>
struct Pass<bool> {
    static constexpr bool truth = true;
    static bool get(const Args& a, std::size_t i) { return a.flag(i); }
};

// What a body's C++ signature takes after the Env.
struct Shape {
    std::size_t arity;
    std::array<bool, max_params> truth;  // the parameter is a bool
};

template <class... P>
constexpr Shape shape_of(py::object (*)(const Env&, P...)) {
    static_assert(sizeof...(P) <= max_params);
    return {sizeof...(P), {Pass<P>::truth...}};
}

// The Body calling F with the parsed arguments, in parameter order.
template <auto F>
py::object call_body(const Env& env, const Args& a) {
    return [&]<class... P>(py::object (*)(const Env&, P...)) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return F(env, Pass<P>::get(a, I)...);
        }(std::index_sequence_for<P...>{});
    }(F);
}

struct Entry {
    const char* name;
    std::array<Param, max_params> params;
    std::size_t nparams;
    const char* returns;  // return annotation
    const char* doc;      // nullptr: no docstring
    Body body;
    Shape shape;            // of the C++ function behind body
    bool through_try_func;  // bound as try_func(function)
};

// The body's signature fits the entry: one C++ parameter per parameter, bool
// exactly where the truth value is taken.
constexpr bool fits(const Entry& e) {
    if (e.shape.arity != e.nparams) return false;
    for (std::size_t i = 0; i < e.nparams; ++i)
        if (e.shape.truth[i] != (e.params[i].conv == Conv::truth)) return false;
    return true;
}

// The thirty-three functions, in definition order.
std::span<const Entry> function_table();

}  // namespace tessaro::db
