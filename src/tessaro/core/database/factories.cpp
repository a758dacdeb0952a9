// The factory registry: adding, replacing, removing, looking up and flagging factories.
#include "database.hpp"

namespace tessaro::db {

namespace {

// The inserts are laid out over lines; collapsing their whitespace runs gives
// the texts the registry has always used.  The selects are sent as written.
constexpr const char* insert_with_timestamp =
    "INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type,\n"
    "        parents, children, is_partial, tags, ignored_sources, has_model, last_updated)\n"
    "    VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, CURRENT_TIMESTAMP)";

constexpr const char* insert_without_timestamp =
    "INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type,\n"
    "        parents, children, is_partial, tags, ignored_sources, has_model)\n"
    "    VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)";

#define SELECT_FACTORIES                                                                                  \
    "SELECT name, source, status, message, default_settings, pdk_type, parents, children, is_partial, " \
    "has_model, tags, ignored_sources, last_updated FROM factories"

constexpr const char* select_factories = SELECT_FACTORIES;
}  // namespace

const char select_factories_by_name[] = SELECT_FACTORIES " WHERE name IN (";

#undef SELECT_FACTORIES

namespace {

constexpr const char* missing_factories = "Database does not exist - no factories to modify";

// record.source = _relpath(record.source) for each record, then the list of
// their to_db_tuple() results, all built before the first insert.
py::object relative_rows(const Env& env, py::handle records) {
    for (py::handle record : records) {
        py::object to_relative = env.global(N::relpath);
        set_attr(record, env[N::source], call(to_relative, attr(record, env[N::source])));
    }
    return db_tuples(env, records);
}

// [_relpath(source) for source in sources]
py::object relative_sources(const Env& env, py::handle sources) {
    py::object relative = new_list();
    for (py::handle source : sources) append(relative, env.call_global(N::relpath, source));
    return relative;
}

// {source: [] for source in relative}: one new list per distinct source.
py::object empty_lists(py::handle relative) {
    py::object result = new_dict();
    for (py::handle source : relative) set_item(result, source, new_list());
    return result;
}

constexpr const char* delete_components = "DELETE FROM components WHERE factory_name = ?";
constexpr const char* delete_rows = "DELETE FROM factories WHERE name = ?";

// The components of the named factories, then the factories themselves, each
// statement with a parameter list of its own.
void delete_factories(const Store& db, py::handle names) {
    db.executemany(text(delete_components), one_tuples(names));
    db.executemany(text(delete_rows), one_tuples(names));
}

// [first, *names]: a new column value followed by the names of an IN list.
py::object value_then_names(py::handle first, py::handle names) {
    Py_ssize_t n = PyTuple_GET_SIZE(names.ptr());
    py::object params = steal(PyList_New(n + 1));
    PyList_SET_ITEM(params.ptr(), 0, Py_NewRef(first.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(params.ptr(), i + 1, Py_NewRef(PyTuple_GET_ITEM(names.ptr(), i)));
    return params;
}

py::object flag_text(bool flag) { return text(flag ? "True" : "False"); }

}  // namespace

py::object factory_record(const Env& env, py::handle row) {
    py::object values = unpack(row, 13);
    PyObject* args[13];
    for (Py_ssize_t i = 0; i < 13; ++i) args[i] = PyTuple_GET_ITEM(values.ptr(), i);
    bool is_partial = truth(args[8]), has_model = truth(args[9]);
    args[8] = is_partial ? Py_True : Py_False;
    args[9] = has_model ? Py_True : Py_False;
    return call_vector(env.global(N::FactoryRecord), args, 0, env.runtime().factory_keywords);
}

py::object factories_by_name(const Env& env, py::handle rows) {
    py::object result = new_dict();
    for (py::handle row : rows) {
        py::object record = factory_record(env, row);
        set_item(result, column(row, 0), record);
    }
    return result;
}

py::object add_factories(const Env& env, py::handle records, bool update_last_modified) {
    if (PyTuple_GET_SIZE(records.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        py::object rows = relative_rows(env, records);
        db.executemany(text(update_last_modified ? insert_with_timestamp : insert_without_timestamp), rows);
        db.commit();
        py::object factory_names = attr_list(env, records, N::name);
        env.debug([&] { return join({text("Added / replaced the following factories: "), str_of(factory_names)}); });
        return py::none();
    });
}

py::object update_factories(const Env& env, py::handle add, py::handle remove, bool update_last_modified) {
    if (PyList_GET_SIZE(add.ptr()) == 0 && PyList_GET_SIZE(remove.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        if (PyList_GET_SIZE(add.ptr()) != 0) {
            py::object rows = relative_rows(env, add);
            db.executemany(text(update_last_modified ? insert_with_timestamp : insert_without_timestamp), rows);
        }
        if (PyList_GET_SIZE(remove.ptr()) != 0) {
            // Both deletions are bound to the one list of (name,) tuples.
            py::object keys = one_tuples(remove);
            db.executemany(text(delete_components), keys);
            db.executemany(text(delete_rows), keys);
        }
        db.commit();
        env.debug([&] {
            return join({text("Atomic update: added/replaced "), str_of(attr_list(env, add, N::name)),
                         text(", removed "), str_of(remove)});
        });
        return py::none();
    });
}

py::object get_all_factories(const Env& env) {
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(text(select_factories));
        return factories_by_name(env, db.fetchall());
    });
}

py::object remove_factories(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    if (!exists(env, path)) return py::none();
    return with_connection(env, path, Tables::keep, [&](const Store& db) -> py::object {
        delete_factories(db, names);
        db.commit();
        env.debug([&] {
            return join(
                {text("Deleted factories '"), str_of(names), text("' from database as well as all their components")});
        });
        return py::none();
    });
}

py::object remove_factories_by_source(const Env& env, py::handle sources) {
    if (PyTuple_GET_SIZE(sources.ptr()) == 0) return new_list();
    py::object path = db_path(env);
    if (!exists(env, path)) return new_list();
    py::object relative = relative_sources(env, sources);
    return with_connection(env, path, Tables::keep, [&](const Store& db) -> py::object {
        db.execute(in_statement("SELECT name FROM factories WHERE source IN (", PyList_GET_SIZE(relative.ptr()), ")"),
                   relative);
        py::object factory_names = first_column(db.fetchall());
        if (PyList_GET_SIZE(factory_names.ptr()) == 0) return new_list();
        delete_factories(db, factory_names);
        db.commit();
        env.debug([&] {
            return join({text("Deleted factories '"), str_of(factory_names),
                         text("' (by source) from database as well as all their components")});
        });
        return factory_names;
    });
}

py::object get_factories_by_name(const Env& env, py::handle names) {
    py::object path = db_path(env);
    if (!exists(env, path)) {
        py::object message = join({text("Factories "), str_of(names), text(" not found - database does not exist")});
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        raise();
    }
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(in_statement(select_factories_by_name, PyTuple_GET_SIZE(names.ptr()), ")"), names);
        return factories_by_name(env, db.fetchall());
    });
}

py::object get_all_factory_names(const Env& env) {
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(text("SELECT name FROM factories"));
        py::object names = new_list();
        for (py::handle row : db.fetchall()) append(names, str_of(column(row, 0)));
        return names;
    });
}

// The rows are fetched inside the connection scope; the answer is assembled
// after it, with every given source present even when nothing matched.
py::object get_factories_by_source(const Env& env, py::handle sources) {
    if (PyTuple_GET_SIZE(sources.ptr()) == 0) return new_dict();
    py::object path = db_path(env);
    py::object relative = relative_sources(env, sources);
    if (!exists(env, path)) return empty_lists(relative);
    py::object conn, cursor, rows;  // the connection lives until the call returns
    with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        conn = db.conn;
        cursor = db.cursor;
        db.execute(
            in_statement("SELECT source, name FROM factories WHERE source IN (", PyList_GET_SIZE(relative.ptr()), ")"),
            relative);
        rows = db.fetchall();
        return py::none();
    });
    py::object result = empty_lists(relative);
    if (!rows) raise_unbound("rows");
    for (py::handle row : rows) {
        py::object pair = unpack(row, 2);
        append(steal(PyObject_GetItem(result.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0))), PyTuple_GET_ITEM(pair.ptr(), 1));
    }
    return result;
}

py::object get_factory_sources_by_name(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return new_dict();
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return sources_by_name(env, path, "SELECT name, source FROM factories WHERE name IN (", names);
}

namespace {

// The frame of the four column updates: the missing-file line, or one UPDATE,
// its row count, the commit and the line saying what it changed.
template <class Update, class Found, class NotFound>
py::object update_column(const Env& env, const char* missing, Update&& update, Found&& found, NotFound&& not_found) {
    py::object path = db_path(env);
    if (!exists(env, path)) {
        env.debug([&] { return text(missing); });
        return py::none();
    }
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        update(db);
        py::object updated_count = db.rowcount();
        db.commit();
        if (positive(updated_count))
            env.debug([&] { return found(updated_count); });
        else
            env.debug(not_found);
        return py::none();
    });
}

}  // namespace

py::object reset_timestamps(const Env& env) {
    return update_column(
        env, "Database does not exist - no timestamps to reset",
        [&](const Store& db) { db.execute(text("UPDATE factories SET last_updated = CURRENT_TIMESTAMP")); },
        [&](py::handle count) { return join({text("Reset timestamps for "), str_of(count), text(" factories")}); },
        [&] { return text("No factories found to update timestamps"); });
}

py::object set_factories_status_by_names(const Env& env, py::handle names, py::handle status) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return py::none();
    return update_column(
        env, missing_factories,
        [&](const Store& db) {
            db.execute(in_statement("UPDATE factories SET status = ?, last_updated = CURRENT_TIMESTAMP WHERE name IN (",
                                    PyTuple_GET_SIZE(names.ptr()), ")"),
                       value_then_names(status, names));
        },
        [&](py::handle count) {
            return join({text("Updated status to '"), status, text("' for "), str_of(count), text(" factories: "),
                         str_of(names)});
        },
        [&] { return join({text("No factories found to update status for: "), str_of(names)}); });
}

py::object set_factories_has_model_by_names(const Env& env, py::handle names, bool has_model) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return py::none();
    return update_column(
        env, missing_factories,
        [&](const Store& db) {
            db.execute(
                in_statement("UPDATE factories SET has_model = ?, last_updated = CURRENT_TIMESTAMP WHERE name IN (",
                             PyTuple_GET_SIZE(names.ptr()), ")"),
                value_then_names(integer(has_model), names));
        },
        [&](py::handle count) {
            return join({text("Updated has_model to '"), flag_text(has_model), text("' for "), str_of(count),
                         text(" factories: "), str_of(names)});
        },
        [&] { return join({text("No factories found to update has_model for: "), str_of(names)}); });
}

py::object set_all_factories_has_model(const Env& env, bool has_model) {
    return update_column(
        env, missing_factories,
        [&](const Store& db) {
            db.execute(text("UPDATE factories SET has_model = ?"), steal(PyTuple_Pack(1, integer(has_model).ptr())));
        },
        [&](py::handle count) {
            return join({text("Updated has_model to '"), flag_text(has_model), text("' for all factories ("),
                         str_of(count), text(" updated)")});
        },
        [&] { return text("No factories found to update has_model for"); });
}

}  // namespace tessaro::db
