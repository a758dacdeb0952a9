// The factory registry: adding, replacing, removing, looking up and flagging factories.
#include "database.hpp"

namespace tessaro::db {

namespace {

// The statements, laid out over lines; collapsing their whitespace runs gives
// the exact texts the registry has always used.
#define FACTORY_COLUMNS                                                                       \
    "name, source, status, message, default_settings, pdk_type, parents, children,\n"       \
    "       is_partial, has_model, tags, ignored_sources, last_updated"

constexpr const char* insert_with_timestamp =
    "INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type,\n"
    "        parents, children, is_partial, tags, ignored_sources, has_model, last_updated)\n"
    "    VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, CURRENT_TIMESTAMP)";

constexpr const char* insert_without_timestamp =
    "INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type,\n"
    "        parents, children, is_partial, tags, ignored_sources, has_model)\n"
    "    VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)";

constexpr const char* select_factories = "SELECT " FACTORY_COLUMNS "\nFROM factories";
constexpr const char* select_factories_by_name = "SELECT " FACTORY_COLUMNS "\nFROM factories\nWHERE name IN (";

#undef FACTORY_COLUMNS

// record.source = _relpath(record.source) for each record, then the list of
// their to_db_tuple() results, all built before the first insert.
py::object relative_rows(const Env& env, py::handle records) {
    for (py::handle record : records) {
        py::object to_relative = env.global(N::relpath);
        set_attr(record, env[N::source], call(to_relative, attr(record, env[N::source])));
    }
    py::object rows = new_list();
    for (py::handle record : records)
        append(rows, method(record, env[N::to_db_tuple]));
    return rows;
}

py::object names_of(const Env& env, py::handle records) {
    py::object names = new_list();
    for (py::handle record : records) append(names, attr(record, env[N::name]));
    return names;
}

// {row[0]: FactoryRecord(...)} for every fetched row, in fetch order.
py::object factories_by_name(const Env& env, py::handle rows) {
    py::object result = new_dict();
    for (py::handle row : rows) {
        py::object record = factory_record(env, row);
        if (PyDict_SetItem(result.ptr(), steal(PySequence_GetItem(row.ptr(), 0)).ptr(), record.ptr()) < 0) raise();
    }
    return result;
}

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

py::object add_factories(const Env& env, py::handle records, bool update_last_modified) {
    if (PyTuple_GET_SIZE(records.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        py::object rows = relative_rows(env, records);
        db.executemany(text(update_last_modified ? insert_with_timestamp : insert_without_timestamp), rows);
        db.commit();
        py::object factory_names = names_of(env, records);
        env.debug(join({text("Added / replaced the following factories: "), str_of(factory_names)}));
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
            py::object keys = one_tuples(remove);
            db.executemany(text("DELETE FROM components WHERE factory_name = ?"), keys);
            db.executemany(text("DELETE FROM factories WHERE name = ?"), keys);
        }
        db.commit();
        env.debug(join({text("Atomic update: added/replaced "), str_of(names_of(env, add)), text(", removed "),
                        str_of(remove)}));
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


py::object remove_factories(const Env&, py::handle) { not_implemented("remove_factories"); }

py::object remove_factories_by_source(const Env&, py::handle) { not_implemented("remove_factories_by_source"); }

py::object get_factories_by_source(const Env&, py::handle) { not_implemented("get_factories_by_source"); }

py::object get_factories_by_name(const Env&, py::handle) { not_implemented("get_factories_by_name"); }

py::object get_factory_sources_by_name(const Env&, py::handle) { not_implemented("get_factory_sources_by_name"); }

py::object get_all_factory_names(const Env&) { not_implemented("get_all_factory_names"); }

py::object reset_timestamps(const Env&) { not_implemented("reset_timestamps"); }

py::object set_factories_status_by_names(const Env&, py::handle, py::handle) { not_implemented("set_factories_status_by_names"); }

py::object set_factories_has_model_by_names(const Env&, py::handle, bool) { not_implemented("set_factories_has_model_by_names"); }

py::object set_all_factories_has_model(const Env&, bool) { not_implemented("set_all_factories_has_model"); }

}  // namespace tessaro::db
