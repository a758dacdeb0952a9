// The component registry and the sync from the live layout.
#include "database.hpp"

namespace tessaro::db {

namespace {

// Deleted n component(s) from database: <names>, or the no-match line.
void log_removal(const Env& env, py::handle removed_count, py::handle names) {
    if (positive(removed_count))
        env.debug([&] {
            return join(
                {text("Deleted "), str_of(removed_count), text(" component(s) from database: "), str_of(names)});
        });
    else
        env.debug([&] { return join({text("No components found to remove: "), str_of(names)}); });
}

// Calls visit(value) for each value of tkcells: a plain dict is walked in
// place, any other mapping through one values() call.
template <class Visit>
void for_each_value(const Env& env, py::handle tkcells, Visit&& visit) {
    if (PyDict_CheckExact(tkcells.ptr()))
        walk_dict(tkcells, [&](py::handle, py::handle value) { visit(value); });
    else
        for (py::handle value : method(tkcells, env[N::values])) visit(value);
}

}  // namespace

py::object add_components(const Env& env, py::handle records) {
    if (PyTuple_GET_SIZE(records.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        py::object rows = db_tuples(env, records);
        db.executemany(text("INSERT OR REPLACE INTO components (name, factory_name, ports, settings, info) "
                            "VALUES (?, ?, ?, ?, ?)"),
                       rows);
        py::object factories = steal(PySet_New(nullptr));
        for (py::handle record : records)
            if (truth(attr(record, env[N::factory_name])))
                if (PySet_Add(factories.ptr(), attr(record, env[N::factory_name]).ptr()) < 0) raise();
        if (PySet_GET_SIZE(factories.ptr()) != 0) {
            py::object success = text("SUCCESS"), empty = text("");
            py::object params = new_list();
            for (py::handle factory : factories)
                append(params, steal(PyTuple_Pack(3, success.ptr(), empty.ptr(), factory.ptr())));
            db.executemany(text("UPDATE factories SET status = ?, message = ?, last_updated = CURRENT_TIMESTAMP "
                                "WHERE name = ?"),
                           params);
        }
        db.commit();
        py::object comp_names = attr_list(env, records, N::name);
        env.debug([&] { return join({text("Added / replaced the following components: "), str_of(comp_names)}); });
        return py::none();
    });
}

py::object remove_components(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    if (!exists(env, path)) return py::none();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.executemany(text("DELETE FROM components WHERE name = ?"), one_tuples(names));
        log_removal(env, db.rowcount(), names);
        db.commit();
        return py::none();
    });
}

py::object get_components_by_factories(const Env& env, py::handle factory_names) {
    Py_ssize_t n = PyTuple_GET_SIZE(factory_names.ptr());
    if (n == 0) return new_dict();
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(in_statement("SELECT name, factory_name, ports, settings, info FROM components "
                                "WHERE factory_name IN (",
                                n, ") ORDER BY name"),
                   factory_names);
        py::object result = new_dict();
        for (py::handle row : db.fetchall()) {
            py::object values = unpack(row, 5);
            PyObject* factory_name = PyTuple_GET_ITEM(values.ptr(), 1);
            PyObject* found = PyDict_GetItemWithError(result.ptr(), factory_name);
            if (!found && PyErr_Occurred()) raise();
            // Held while the record class (any Python callable) runs.
            py::object records = found ? py::reinterpret_borrow<py::object>(found) : new_list();
            if (!found) set_item(result, factory_name, records);
            append(records, call_vector(env.global(N::ComponentRecord), PySequence_Fast_ITEMS(values.ptr()), 0,
                                        env.runtime().component_keywords));
        }
        return result;
    });
}

py::object remove_components_by_factories(const Env& env, py::handle factory_names) {
    Py_ssize_t n = PyTuple_GET_SIZE(factory_names.ptr());
    if (n == 0) return py::none();
    py::object path = db_path(env);
    if (!exists(env, path)) return py::none();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(in_statement("SELECT name FROM components WHERE factory_name IN (", n, ")"), factory_names);
        py::object names = first_column(db.fetchall());
        Py_ssize_t found = PyList_GET_SIZE(names.ptr());
        if (found == 0) {
            env.debug([&] { return join({text("No components found for factories: "), str_of(factory_names)}); });
            return py::none();
        }
        db.execute(in_statement("DELETE FROM components WHERE name IN (", found, ")"), names);
        log_removal(env, db.rowcount(), names);
        db.commit();
        return py::none();
    });
}

py::object get_factories_by_components(const Env& env, py::handle components) {
    Py_ssize_t n = PyTuple_GET_SIZE(components.ptr());
    if (n == 0) return new_dict();
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(in_statement("SELECT DISTINCT factory_name FROM components WHERE name IN (", n, ")"), components);
        py::object factory_names = first_column(db.fetchall());
        Py_ssize_t found = PyList_GET_SIZE(factory_names.ptr());
        if (found == 0) return new_dict();
        db.execute(in_statement(select_factories_by_name, found, ")"), factory_names);
        return factories_by_name(env, db.fetchall());
    });
}

py::object sync_from_kcl(const Env& env) {
    py::object component_records = new_list();
    py::object tkcells = live_cells(env);
    for_each_value(env, tkcells, [&](py::handle tkcell) {
        py::object wrap = env.global(N::try_func);
        py::object from_tkcell = attr(env.global(N::ComponentRecord), env[N::from_tkcell]);
        append(component_records, call(call(wrap, from_tkcell), tkcell));
    });
    py::object kept = new_list();
    for (py::handle record : component_records)
        if (!record.is_none() && truth(attr(record, env[N::name]))) append(kept, record);
    component_records = std::move(kept);
    Py_ssize_t count = PyList_GET_SIZE(component_records.ptr());
    py::object add = env.global(N::add_components);
    call_vector(add, PySequence_Fast_ITEMS(component_records.ptr()), static_cast<std::size_t>(count));
    env.debug([&] { return join({text("Synced "), str_of(integer(count)), text(" tkcells to components table")}); });
    return py::none();
}

}  // namespace tessaro::db
