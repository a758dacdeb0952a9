// The declarative description of the module's functions, shared by the table
// (table.cpp) and the machinery that turns it into callables (frame.cpp).
#pragma once

#include <span>

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

struct Entry {
    const char* name;
    std::array<Param, max_params> params;
    std::size_t nparams;
    const char* returns;  // return annotation
    const char* doc;      // nullptr: no docstring
    Body body;
    bool through_try_func;  // bound as try_func(function)
};

// The thirty-three functions, in definition order.
std::span<const Entry> function_table();

}  // namespace tessaro::db
