// Shared declarations of the tessaro.core.database extension module.
//
// The module is a set of plain functions over a SQLite file.  Every function
// body receives an Env: the module's namespace (looked up on every use, so a
// rebound module attribute takes effect at the next call) and the interned
// attribute and keyword names the bodies use.  Python objects are owned through
// pybind11 handles; a failing C API call throws py::error_already_set, which the
// frame turns back into the original Python exception at the call boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pytypes.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>

namespace py = pybind11;

namespace tessaro::db {

// Every name the bodies look up: module globals, attributes, methods and
// keywords.  Interned once per module object (see Runtime).
#define TESSARO_NAMES(X)                                                    \
    /* module globals */                                                    \
    X(sqlite3, "sqlite3")                                                   \
    X(Path, "Path")                                                         \
    X(TYPE_CHECKING, "TYPE_CHECKING")                                       \
    X(try_func, "try_func")                                                 \
    X(ComponentRecord, "ComponentRecord")                                   \
    X(FactoryRecord, "FactoryRecord")                                       \
    X(ModelRecord, "ModelRecord")                                           \
    X(lazy_import, "lazy_import")                                           \
    X(nx, "nx")                                                             \
    X(bl, "bl")                                                             \
    X(log, "log")                                                           \
    X(get_project_dir, "get_project_dir")                                   \
    X(get_db_path, "get_db_path")                                           \
    X(get_logger, "get_logger")                                             \
    X(create_factories_table, "_create_factories_table")                    \
    X(create_components_table, "_create_components_table")                  \
    X(create_models_table, "_create_models_table")                          \
    X(create_tables, "_create_tables")                                      \
    X(relpath, "_relpath")                                                  \
    X(add_components, "add_components")                                     \
    X(get_components_by_factories, "get_components_by_factories")           \
    X(get_factories_by_components, "get_factories_by_components")           \
    X(get_runtime_factory_dependencies, "get_runtime_factory_dependencies") \
    X(get_all_factory_names, "get_all_factory_names")                       \
    /* driver, paths, logging */                                            \
    X(connect, "connect")                                                   \
    X(enter, "__enter__")                                                   \
    X(exit, "__exit__")                                                     \
    X(cursor, "cursor")                                                     \
    X(execute, "execute")                                                   \
    X(executemany, "executemany")                                           \
    X(fetchall, "fetchall")                                                 \
    X(rowcount, "rowcount")                                                 \
    X(commit, "commit")                                                     \
    X(exists, "exists")                                                     \
    X(resolve, "resolve")                                                   \
    X(relative_to, "relative_to")                                           \
    X(walk_up, "walk_up")                                                   \
    X(debug, "debug")                                                       \
    X(add_note, "add_note")                                                 \
    /* records */                                                           \
    X(name, "name")                                                         \
    X(source, "source")                                                     \
    X(status, "status")                                                     \
    X(message, "message")                                                   \
    X(default_settings, "default_settings")                                 \
    X(pdk_type, "pdk_type")                                                 \
    X(parents, "parents")                                                   \
    X(children, "children")                                                 \
    X(is_partial, "is_partial")                                             \
    X(has_model, "has_model")                                               \
    X(tags, "tags")                                                         \
    X(ignored_sources, "ignored_sources")                                   \
    X(last_updated, "last_updated")                                         \
    X(factory_name, "factory_name")                                         \
    X(ports, "ports")                                                       \
    X(settings, "settings")                                                 \
    X(info, "info")                                                         \
    X(factory, "factory")                                                   \
    X(to_db_tuple, "to_db_tuple")                                           \
    X(from_tkcell, "from_tkcell")                                           \
    /* live layout and graph */                                             \
    X(kcl, "kcl")                                                           \
    X(tkcells, "tkcells")                                                   \
    X(values, "values")                                                     \
    X(items, "items")                                                       \
    X(get, "get")                                                           \
    X(kdb_cell, "kdb_cell")                                                 \
    X(each_parent_cell, "each_parent_cell")                                 \
    X(each_child_cell, "each_child_cell")                                   \
    X(DiGraph, "DiGraph")                                                   \
    X(add_node, "add_node")                                                 \
    X(add_edges_from, "add_edges_from")

enum class N : std::size_t {
#define TESSARO_ENUM(id, text) id,
    TESSARO_NAMES(TESSARO_ENUM)
#undef TESSARO_ENUM
        count_
};

// Per-module constants shared by the module's function objects: interned
// names and the keyword tuples used to build records.  Nothing here is a
// Python-visible global; the module namespace is always read anew.
struct Runtime {
    std::array<py::object, static_cast<std::size_t>(N::count_)> names;
    py::object factory_keywords;    // the thirteen FactoryRecord keywords, column order
    py::object component_keywords;  // the five ComponentRecord keywords
    py::object model_keywords;      // the six ModelRecord keywords
    py::object walk_up_keywords;    // ("walk_up",)
    // The builtins the functions fall back to, fixed when they are defined
    // (as a def statement fixes them), not those of whoever calls them.
    py::object builtins;

    static std::shared_ptr<const Runtime> make();  // throws py::error_already_set
};

// ---------------------------------------------------------------------------
// Thin owning wrappers over the C API.  Each throws py::error_already_set when
// the call fails, leaving the Python exception exactly as raised.

[[noreturn]] inline void raise() { throw py::error_already_set(); }

// Inside a catch block: sets the Python error the C++ exception being handled
// stands for (the original one for py::error_already_set).
void set_error_from_current_exception() noexcept;

inline py::object steal(PyObject* p) {
    if (!p) raise();
    return py::reinterpret_steal<py::object>(p);
}

inline py::object attr(py::handle o, py::handle name) { return steal(PyObject_GetAttr(o.ptr(), name.ptr())); }

inline void set_attr(py::handle o, py::handle name, py::handle value) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()) < 0) raise();
}

template <class... A>
py::object call(py::handle f, const A&... a) {
    PyObject* argv[] = {nullptr, py::handle(a).ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(*args) for a prepared argument vector, with optional keyword names
// (the last len(kwnames) entries of args are the keyword values).
inline py::object call_vector(py::handle f, PyObject* const* args, std::size_t nargs, py::handle kwnames = {}) {
    return steal(PyObject_Vectorcall(f.ptr(), args, nargs, kwnames.ptr()));
}

template <class... A>
py::object method(py::handle self, py::handle name, const A&... a) {
    PyObject* argv[] = {self.ptr(), py::handle(a).ptr()...};
    return steal(PyObject_VectorcallMethod(name.ptr(), argv, 1 + sizeof...(A), nullptr));
}

inline bool truth(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) raise();
    return r != 0;
}

inline py::object str_of(py::handle o) { return steal(PyObject_Str(o.ptr())); }
inline py::object text(const char* ascii) { return steal(PyUnicode_FromString(ascii)); }
inline py::object integer(Py_ssize_t v) { return steal(PyLong_FromSsize_t(v)); }
inline py::object new_list() { return steal(PyList_New(0)); }
inline py::object new_dict() { return steal(PyDict_New()); }

inline void append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) raise();
}

// Concatenation of str pieces: literal texts and str() forms, built as Python
// strings so that names of any content print exactly as Python prints them.
py::object join(std::initializer_list<py::handle> parts);

// The placeholder list of an IN (...) clause: n question marks joined by ",",
// framed by the statement's fixed opening and closing texts.
py::object in_statement(const char* opening, Py_ssize_t n, const char* closing);

// ---------------------------------------------------------------------------
// The view a body has of its module.

class Env {
public:
    Env(PyObject* globals, const Runtime& rt) : globals_(globals), rt_(rt) {}

    // The interned name (attribute, keyword or global name).
    py::handle operator[](N n) const { return rt_.names[static_cast<std::size_t>(n)]; }
    const Runtime& runtime() const { return rt_; }

    // A module global as of now: the module namespace, then the builtins,
    // else NameError("name '...' is not defined").
    py::object global(N n) const;

    template <class... A>
    py::object call_global(N n, const A&... a) const {
        return call(global(n), a...);
    }

    // log().debug(message()): a fresh logger for every line, asked for
    // before the message is built, as the expression reads.
    template <class Message>
    void debug(Message&& message) const {
        py::object debug = attr(call_global(N::log), (*this)[N::debug]);
        call(debug, message());
    }

private:
    PyObject* globals_;
    const Runtime& rt_;
};

// ---------------------------------------------------------------------------
// The connection scope every registry operation runs in.

enum class Tables { create, keep };

// The open connection of one operation and its cursor.
struct Store {
    const Env& env;
    py::object conn;
    py::object cursor;

    py::object execute(py::handle sql) const { return method(cursor, env[N::execute], sql); }
    py::object execute(py::handle sql, py::handle params) const { return method(cursor, env[N::execute], sql, params); }
    py::object executemany(py::handle sql, py::handle params) const {
        return method(cursor, env[N::executemany], sql, params);
    }
    py::object fetchall() const { return method(cursor, env[N::fetchall]); }
    py::object rowcount() const { return attr(cursor, env[N::rowcount]); }
    void commit() const { method(conn, env[N::commit]); }
};

// A context manager entered like the `with` statement enters it.
struct Entered {
    py::object value;  // what __enter__ returned
    py::object exit;   // the bound __exit__
};
Entered enter_context(py::handle manager, const Env& env);
// Calls exit with the exception caught in e (as the exception being handled)
// and answers whether exit asked to suppress it.
bool exit_context(const Entered& cm, const py::error_already_set& e);
void exit_context(const Entered& cm);

// with sqlite3.connect(db_path) as conn:
//     cursor = conn.cursor()
//     [_create_tables(cursor)]
//     return body(store)
// When __exit__ suppresses an exception the scope answers None, as the
// statement after such a `with` block would.
template <class Body>
py::object with_connection(const Env& env, py::handle db_path, Tables tables, Body&& body) {
    // Declared first, so released last: like the Python local, the cursor outlives
    // the scope and the connection, until the operation returns.
    py::object cursor;
    py::object manager = call(attr(env.global(N::sqlite3), env[N::connect]), db_path);
    Entered cm = enter_context(manager, env);
    py::object result;
    try {
        cursor = method(cm.value, env[N::cursor]);
        Store store{env, cm.value, cursor};
        if (tables == Tables::create) env.call_global(N::create_tables, store.cursor);
        result = body(store);
    } catch (const py::error_already_set& e) {
        if (!exit_context(cm, e)) throw;
        return py::none();
    } catch (...) {
        // A C++ failure (memory exhausted) leaves the scope as the Python
        // error it stands for.
        set_error_from_current_exception();
        py::error_already_set e;
        if (!exit_context(cm, e)) throw e;
        return py::none();
    }
    exit_context(cm);
    return result;
}

// [(name,) for name in names]: the parameters of a one-key executemany.
py::object one_tuples(py::handle names);

// The items of row, which must hold exactly n of them (Python's unpacking
// errors otherwise).
py::object unpack(py::handle row, Py_ssize_t n);

// row[i]
py::object column(py::handle row, Py_ssize_t i);

// [row[0] for row in rows]
py::object first_column(py::handle rows);

// [item.<name> for item in items]
py::object attr_list(const Env& env, py::handle items, N name);

// [record.to_db_tuple() for record in records]
py::object db_tuples(const Env& env, py::handle records);

// dict[key] = value
void set_item(py::handle dict, py::handle key, py::handle value);

// count > 0, compared the way Python compares it
bool positive(py::handle count);

// bl.kcl.tkcells, as of now: the live layout registry.
inline py::object live_cells(const Env& env) { return attr(attr(env.global(N::bl), env[N::kcl]), env[N::tkcells]); }

// Walks a plain dict in place, calling visit(key, value) with owned
// references (a visit may run Python code that drops them from the dict), and
// fails the way Python's own dict iterators do when the dict changes under
// the walk.
template <class Visit>
void walk_dict(py::handle dict, Visit&& visit) {
    const Py_ssize_t used = PyDict_GET_SIZE(dict.ptr());
    Py_ssize_t left = used, pos = 0;
    PyObject *key, *value;
    for (;;) {
        if (PyDict_GET_SIZE(dict.ptr()) != used) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            raise();
        }
        if (!PyDict_Next(dict.ptr(), &pos, &key, &value)) return;
        // Same size but more entries than at the start: keys were swapped.
        if (left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            raise();
        }
        visit(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
    }
}

// db_path = get_db_path()
inline py::object db_path(const Env& env) { return env.call_global(N::get_db_path); }
// db_path.exists(), its truth value taken
inline bool exists(const Env& env, py::handle path) { return truth(method(path, env[N::exists])); }

// The UnboundLocalError a Python body raises when it reads a local that the
// suppressed `with` block never assigned.
[[noreturn]] void raise_unbound(const char* local);

// The source lookups by name: {name: stored relative source} selected by
// `opening` + IN list inside the connection scope, then each joined to
// get_project_dir() (asked once per entry) after the scope; the connection is
// held until the call returns.
py::object sources_by_name(const Env& env, py::handle db_path, const char* opening, py::handle names);

// FactoryRecord(**row) with the two flags as bool: the factory row conversion.
py::object factory_record(const Env& env, py::handle row);

// {row[0]: factory_record(row)} for every fetched factory row, in fetch order.
py::object factories_by_name(const Env& env, py::handle rows);

// The thirteen factory columns selected by name: the opening of an IN list.
extern const char select_factories_by_name[];

// ---------------------------------------------------------------------------
// The function bodies, by subsystem.  Arguments arrive checked and converted
// by the frame's parser.

// store.cpp
py::object create_factories_table(const Env&, py::handle cursor);
py::object create_components_table(const Env&, py::handle cursor);
py::object create_models_table(const Env&, py::handle cursor);
py::object create_tables(const Env&, py::handle cursor);
py::object roll(const Env&, py::handle tup, py::handle n);
py::object relpath(const Env&, py::handle path);

// factories.cpp
py::object add_factories(const Env&, py::handle records, bool update_last_modified);
py::object remove_factories(const Env&, py::handle names);
py::object remove_factories_by_source(const Env&, py::handle sources);
py::object update_factories(const Env&, py::handle add, py::handle remove, bool update_last_modified);
py::object get_factories_by_source(const Env&, py::handle sources);
py::object get_all_factories(const Env&);
py::object get_factories_by_name(const Env&, py::handle names);
py::object get_factory_sources_by_name(const Env&, py::handle names);
py::object get_all_factory_names(const Env&);
py::object reset_timestamps(const Env&);
py::object set_factories_status_by_names(const Env&, py::handle names, py::handle status);
py::object set_factories_has_model_by_names(const Env&, py::handle names, bool has_model);
py::object set_all_factories_has_model(const Env&, bool has_model);

// components.cpp
py::object add_components(const Env&, py::handle records);
py::object remove_components(const Env&, py::handle names);
py::object get_components_by_factories(const Env&, py::handle factory_names);
py::object remove_components_by_factories(const Env&, py::handle factory_names);
py::object get_factories_by_components(const Env&, py::handle components);
py::object sync_from_kcl(const Env&);

// models.cpp
py::object add_models(const Env&, py::handle records);
py::object remove_models(const Env&, py::handle names);
py::object get_all_models(const Env&);
py::object get_models_by_name(const Env&, py::handle names);
py::object get_model_sources_by_name(const Env&, py::handle names);

// dependencies.cpp
py::object get_runtime_factory_dependencies(const Env&, py::handle name);
py::object get_factories_by_idxs(const Env&, py::handle idxs);
py::object get_runtime_factories_dependency_graph(const Env&, py::handle names);

}  // namespace tessaro::db
