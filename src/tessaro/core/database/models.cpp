// The model registry; the factories' model flag follows it.
#include "database.hpp"

namespace tessaro::db {

namespace {

constexpr const char* select_models = "SELECT factory, settings, source, pdk_type, status, message FROM models";

// (factory, settings, _relpath(source), pdk_type, status, message) for one
// record, the source converted before any other attribute is read.  As in
// _relpath(record.source), the helper is looked up before the record is read.
py::object model_row(const Env& env, py::handle record) {
    py::object to_relative = env.global(N::relpath);
    py::object rel_source = call(to_relative, attr(record, env[N::source]));
    py::object factory = attr(record, env[N::factory]);
    py::object settings = attr(record, env[N::settings]);
    py::object pdk_type = attr(record, env[N::pdk_type]);
    py::object status = attr(record, env[N::status]);
    py::object message = attr(record, env[N::message]);
    return steal(
        PyTuple_Pack(6, factory.ptr(), settings.ptr(), rel_source.ptr(), pdk_type.ptr(), status.ptr(), message.ptr()));
}

// {factory: ModelRecord(factory=..., settings=..., ...)} for every fetched
// row, in fetch order, each record built from the six stored values as they are.
py::object models_by_factory(const Env& env, py::handle rows) {
    py::object result = new_dict();
    for (py::handle row : rows) {
        py::object values = unpack(row, 6);
        PyObject* args[6];
        for (Py_ssize_t i = 0; i < 6; ++i) args[i] = PyTuple_GET_ITEM(values.ptr(), i);
        py::object record = call_vector(env.global(N::ModelRecord), args, 0, env.runtime().model_keywords);
        set_item(result, args[0], record);
    }
    return result;
}

}  // namespace

py::object add_models(const Env& env, py::handle records) {
    if (PyTuple_GET_SIZE(records.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        py::object processed_records = new_list();
        for (py::handle record : records) append(processed_records, model_row(env, record));
        db.executemany(text("INSERT OR REPLACE INTO models (factory, settings, source, pdk_type, status, message) "
                            "VALUES (?, ?, ?, ?, ?, ?)"),
                       processed_records);
        py::object factory_names = attr_list(env, records, N::factory);
        if (Py_ssize_t n = PyList_GET_SIZE(factory_names.ptr()))
            db.execute(in_statement("UPDATE factories SET has_model = 1 WHERE name IN (", n, ")"), factory_names);
        db.commit();
        py::object model_names = attr_list(env, records, N::factory);
        env.debug([&] { return join({text("Added / replaced the following models: "), str_of(model_names)}); });
        return py::none();
    });
}

py::object remove_models(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return py::none();
    py::object path = db_path(env);
    if (!exists(env, path)) return py::none();
    return with_connection(env, path, Tables::keep, [&](const Store& db) -> py::object {
        db.executemany(text("DELETE FROM models WHERE factory = ?"), one_tuples(names));
        db.execute(in_statement("UPDATE factories SET has_model = 0, last_updated = CURRENT_TIMESTAMP WHERE name IN (",
                                PyTuple_GET_SIZE(names.ptr()), ")"),
                   names);
        db.commit();
        env.debug([&] { return join({text("Deleted models '"), str_of(names), text("' from database")}); });
        return py::none();
    });
}

py::object get_all_models(const Env& env) {
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(text(select_models));
        return models_by_factory(env, db.fetchall());
    });
}

py::object get_models_by_name(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return new_dict();
    py::object path = db_path(env);
    if (!exists(env, path)) {
        PyErr_SetObject(PyExc_ValueError,
                        join({text("Models "), str_of(names), text(" not found - database does not exist")}).ptr());
        raise();
    }
    return with_connection(env, path, Tables::create, [&](const Store& db) -> py::object {
        db.execute(in_statement("SELECT factory, settings, source, pdk_type, status, message FROM models "
                                "WHERE factory IN (",
                                PyTuple_GET_SIZE(names.ptr()), ")"),
                   names);
        return models_by_factory(env, db.fetchall());
    });
}

py::object get_model_sources_by_name(const Env& env, py::handle names) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0) return new_dict();
    py::object path = db_path(env);
    if (!exists(env, path)) return new_dict();
    return sources_by_name(env, path, "SELECT factory, source FROM models WHERE factory IN (", names);
}

}  // namespace tessaro::db
