// The store: the connection scope every operation runs in, the schema, the
// placeholder lists of IN (...) statements, and the path and tuple helpers.
#include <string>

#include "database.hpp"

namespace tessaro::db {

// ---------------------------------------------------------------------------
// Entering and leaving a context manager as the `with` statement does:
// __enter__ and __exit__ are looked up on the type, __enter__ first.

namespace {

PyObject* lookup_special(PyObject* self, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(self), name);
    if (!found) return nullptr;
    // Held while its __get__ runs, which may rebind the class attribute.
    py::object descriptor = py::reinterpret_borrow<py::object>(found);
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get)
        return get(found, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return descriptor.release().ptr();
}

}  // namespace

Entered enter_context(py::handle manager, const Env& env) {
    PyObject* enter = lookup_special(manager.ptr(), env[N::enter].ptr());
    if (!enter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager.ptr())->tp_name);
        raise();
    }
    py::object bound_enter = steal(enter);
    PyObject* exit = lookup_special(manager.ptr(), env[N::exit].ptr());
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager.ptr())->tp_name);
        raise();
    }
    Entered cm{py::object(), steal(exit)};
    cm.value = call(bound_enter);
    return cm;
}

bool exit_context(const Entered& cm, const py::error_already_set& e) {
    PyObject* value = e.value().ptr();
    PyObject* tb = PyException_GetTraceback(value);
    py::object traceback = tb ? steal(tb) : py::none();
    // While __exit__ runs, the exception is the one being handled, so an error
    // raised by __exit__ carries it as its context.
    PyObject* handled = PyErr_GetHandledException();
    PyErr_SetHandledException(value);
    PyObject* r = PyObject_CallFunctionObjArgs(cm.exit.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                                               traceback.ptr(), nullptr);
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    return truth(steal(r));
}

void exit_context(const Entered& cm) { call(cm.exit, py::none(), py::none(), py::none()); }

// ---------------------------------------------------------------------------

py::object in_statement(const char* opening, Py_ssize_t n, const char* closing) {
    std::string sql(opening);
    sql.reserve(sql.size() + 2 * static_cast<std::size_t>(n) + 32);
    for (Py_ssize_t i = 0; i < n; ++i) sql.append(i ? ",?" : "?");
    sql.append(closing);
    return steal(PyUnicode_FromStringAndSize(sql.data(), static_cast<Py_ssize_t>(sql.size())));
}

py::object column(py::handle row, Py_ssize_t i) { return steal(PyObject_GetItem(row.ptr(), integer(i).ptr())); }

py::object first_column(py::handle rows) {
    py::object values = new_list();
    for (py::handle row : rows) append(values, column(row, 0));
    return values;
}

py::object attr_list(const Env& env, py::handle items, N name) {
    py::object values = new_list();
    for (py::handle item : items) append(values, attr(item, env[name]));
    return values;
}

py::object db_tuples(const Env& env, py::handle records) {
    py::object rows = new_list();
    for (py::handle record : records) append(rows, method(record, env[N::to_db_tuple]));
    return rows;
}

void set_item(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) raise();
}

bool positive(py::handle count) {
    int r = PyObject_RichCompareBool(count.ptr(), integer(0).ptr(), Py_GT);
    if (r < 0) raise();
    return r != 0;
}

py::object one_tuples(py::handle names) {
    py::object params = new_list();
    for (py::handle name : names) append(params, steal(PyTuple_Pack(1, name.ptr())));
    return params;
}

py::object unpack(py::handle row, Py_ssize_t n) {
    if (PyTuple_CheckExact(row.ptr()) && PyTuple_GET_SIZE(row.ptr()) == n)
        return py::reinterpret_borrow<py::object>(row);
    // As `a, b, ... = row` does: n items, then one more must not come.
    PyObject* it = PyObject_GetIter(row.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(row.ptr())->tp_name);
        }
        raise();
    }
    py::object iterator = steal(it);
    py::object items = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) raise();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            raise();
        }
        PyTuple_SET_ITEM(items.ptr(), i, item);
    }
    if (PyObject* extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise();
    }
    if (PyErr_Occurred()) raise();
    return items;
}

py::object sources_by_name(const Env& env, py::handle db_path, const char* opening, py::handle names) {
    py::object conn, cursor, relpaths;  // the connection lives until the call returns
    with_connection(env, db_path, Tables::create, [&](const Store& db) -> py::object {
        conn = db.conn;
        cursor = db.cursor;
        db.execute(in_statement(opening, PyTuple_GET_SIZE(names.ptr()), ")"), names);
        py::object found = new_dict();
        for (py::handle row : db.fetchall()) {
            py::object name = column(row, 0);
            set_item(found, name, column(row, 1));
        }
        relpaths = std::move(found);
        return py::none();
    });
    // A scope whose __exit__ swallowed an error never produced the sources.
    if (!relpaths) raise_unbound("relpaths");
    py::object paths = new_dict();
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(relpaths.ptr(), &pos, &key, &value);) {
        py::object name = py::reinterpret_borrow<py::object>(key), relpath = py::reinterpret_borrow<py::object>(value);
        py::object project_dir = env.call_global(N::get_project_dir);
        set_item(paths, name, steal(PyNumber_TrueDivide(project_dir.ptr(), relpath.ptr())));
    }
    return paths;
}

// ---------------------------------------------------------------------------
// Schema

namespace {

py::object create(const Env& env, py::handle cursor, const char* statement) {
    method(cursor, env[N::execute], text(statement));
    return py::none();
}

}  // namespace

py::object create_factories_table(const Env& env, py::handle cursor) {
    return create(env, cursor, R"(CREATE TABLE IF NOT EXISTS factories (
            name TEXT PRIMARY KEY,
            source TEXT NOT NULL,
            status TEXT NOT NULL,
            message TEXT NOT NULL,
            default_settings TEXT NOT NULL,
            pdk_type TEXT NOT NULL,
            parents TEXT NOT NULL DEFAULT '[]',
            children TEXT NOT NULL DEFAULT '[]',
            is_partial INTEGER NOT NULL DEFAULT 0,
            has_model INTEGER NOT NULL DEFAULT 0,
            tags TEXT NOT NULL DEFAULT '[]',
            ignored_sources TEXT NOT NULL DEFAULT '[]',
            last_updated TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP
        ))");
}

py::object create_components_table(const Env& env, py::handle cursor) {
    return create(env, cursor, R"(CREATE TABLE IF NOT EXISTS components (
            name TEXT PRIMARY KEY,
            factory_name TEXT NOT NULL,
            ports TEXT NOT NULL,
            settings TEXT NOT NULL,
            info TEXT NOT NULL,
            FOREIGN KEY (factory_name) REFERENCES factories (name)
        ))");
}

py::object create_models_table(const Env& env, py::handle cursor) {
    return create(env, cursor, R"(CREATE TABLE IF NOT EXISTS models (
            factory TEXT PRIMARY KEY,
            settings TEXT NOT NULL,
            source TEXT NOT NULL,
            pdk_type TEXT NOT NULL,
            status TEXT NOT NULL DEFAULT 'UNKNOWN',
            message TEXT NOT NULL DEFAULT ''
        ))");
}

py::object create_tables(const Env& env, py::handle cursor) {
    env.call_global(N::create_factories_table, cursor);
    env.call_global(N::create_components_table, cursor);
    env.call_global(N::create_models_table, cursor);
    return py::none();
}

// ---------------------------------------------------------------------------
// Path and tuple helpers

// str(Path(path).resolve().relative_to(get_project_dir(), walk_up=True)),
// with the project directory asked for first.
py::object relpath(const Env& env, py::handle path) {
    py::object project_dir = env.call_global(N::get_project_dir);
    py::object resolved = method(env.call_global(N::Path, path), env[N::resolve]);
    py::object relative_to = attr(resolved, env[N::relative_to]);
    PyObject* args[] = {project_dir.ptr(), Py_True};
    return str_of(call_vector(relative_to, args, 1, env.runtime().walk_up_keywords));
}

// tup[n:] + tup[:n]
py::object roll(const Env&, py::handle tup, py::handle n) {
    py::object tail = steal(PySlice_New(n.ptr(), nullptr, nullptr));
    py::object head = steal(PySlice_New(nullptr, n.ptr(), nullptr));
    return steal(PyNumber_Add(steal(PyObject_GetItem(tup.ptr(), tail.ptr())).ptr(),
                              steal(PyObject_GetItem(tup.ptr(), head.ptr())).ptr()));
}

}  // namespace tessaro::db
