// Runtime dependencies between factories, from the live layout.
//
// The live registry is bl.kcl.tkcells (cell index -> cell).  It is read anew
// at every use, so every index lookup sees the registry as it is now; the
// database is reached only through the component lookups of the module
// namespace.
#include "database.hpp"

namespace tessaro::db {

namespace {

py::object borrow(PyObject* p) { return py::reinterpret_borrow<py::object>(p); }

// mapping.get(key[, fallback]): a plain dict is read in place, any other
// mapping through its own get.
py::object get_from(const Env& env, py::handle mapping, py::handle key, py::handle fallback = {}) {
    if (PyDict_CheckExact(mapping.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr())) return borrow(v);
        if (PyErr_Occurred()) raise();
        if (!fallback) return py::none();
        return borrow(fallback.ptr());
    }
    if (!fallback) return method(mapping, env[N::get], key);
    return method(mapping, env[N::get], key, fallback);
}

// {cell.name: index for index, cell in bl.kcl.tkcells.items()}: of two cells
// with one name, the later one wins.
py::object index_by_name(const Env& env) {
    py::object cells = live_cells(env);
    if (!PyDict_CheckExact(cells.ptr())) {
        py::object inverse = new_dict();
        py::object items = steal(PyObject_GetIter(method(cells, env[N::items]).ptr()));
        while (PyObject* item = PyIter_Next(items.ptr())) {
            py::object pair = unpack(steal(item), 2);
            set_item(inverse, attr(PyTuple_GET_ITEM(pair.ptr(), 1), env[N::name]), PyTuple_GET_ITEM(pair.ptr(), 0));
        }
        if (PyErr_Occurred()) raise();
        return inverse;
    }
    // A plain dict is walked in place, into a map sized for every cell up front.
    py::object inverse = steal(_PyDict_NewPresized(PyDict_GET_SIZE(cells.ptr())));
    walk_dict(cells, [&](py::handle index, py::handle cell) { set_item(inverse, attr(cell, env[N::name]), index); });
    return inverse;
}

// [bl.kcl.tkcells[i].name for cell in cells for i in cell.kdb_cell.<which>()]
py::object neighbour_names(const Env& env, py::handle cells, N which) {
    py::object names = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.ptr()); ++i) {
        py::object found = method(attr(PyList_GET_ITEM(cells.ptr(), i), env[N::kdb_cell]), env[which]);
        for (py::handle index : found)
            append(names, attr(steal(PyObject_GetItem(live_cells(env).ptr(), index.ptr())), env[N::name]));
    }
    return names;
}

// The factory of each cell name, asked one name at a time; only a record
// stored under the cell's own name counts.
py::object factory_names(const Env& env, py::handle cell_names) {
    py::object facts = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cell_names.ptr()); ++i) {
        py::handle c = PyList_GET_ITEM(cell_names.ptr(), i);
        py::object record = get_from(env, env.call_global(N::get_factories_by_components, c), c);
        if (truth(record)) append(facts, attr(record, env[N::name]));
    }
    return facts;
}

// The edges handed to add_edges_from are produced lazily, one 2-tuple per
// pull, as map(pair, ends) with `pair` bound to the visited name.
PyObject* edge_to_end(PyObject* name, PyObject* end) { return PyTuple_Pack(2, name, end); }
PyObject* edge_from_end(PyObject* name, PyObject* end) { return PyTuple_Pack(2, end, name); }
PyMethodDef edge_to_end_def = {"edge", edge_to_end, METH_O, nullptr};
PyMethodDef edge_from_end_def = {"edge", edge_from_end, METH_O, nullptr};

void add_edges(const Env& env, py::handle graph, PyMethodDef* pair, py::handle name, py::handle ends) {
    py::object add_edges_from = attr(graph, env[N::add_edges_from]);
    py::object edge = steal(PyCFunction_New(pair, name.ptr()));
    py::object edges = call(py::handle(reinterpret_cast<PyObject*>(&PyMap_Type)), edge, ends);
    call(add_edges_from, edges);
}

// stack.extend(ends)
void push(py::handle stack, py::handle ends) { steal(PySequence_InPlaceConcat(stack.ptr(), ends.ptr())); }

}  // namespace

py::object get_runtime_factory_dependencies(const Env& env, py::handle name) {
    py::object inv_tkcells = index_by_name(env);

    py::object fallback = new_list();
    py::object components = get_from(env, env.call_global(N::get_components_by_factories, name), name, fallback);

    py::object idxs = new_list();
    for (py::handle record : components) {
        PyObject* index = PyDict_GetItemWithError(inv_tkcells.ptr(), attr(record, env[N::name]).ptr());
        if (!index && PyErr_Occurred()) raise();
        if (index && index != Py_None) append(idxs, index);
    }

    py::object tkcells = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idxs.ptr()); ++i)
        append(tkcells, steal(PyObject_GetItem(live_cells(env).ptr(), PyList_GET_ITEM(idxs.ptr(), i))));

    py::object parent_comps = neighbour_names(env, tkcells, N::each_parent_cell);
    py::object child_comps = neighbour_names(env, tkcells, N::each_child_cell);

    py::object parent_facts = factory_names(env, parent_comps);
    py::object child_facts = factory_names(env, child_comps);
    return steal(PyTuple_Pack(2, parent_facts.ptr(), child_facts.ptr()));
}

py::object get_factories_by_idxs(const Env& env, py::handle idxs) {
    const Py_ssize_t n = PyTuple_GET_SIZE(idxs.ptr());

    // getattr(bl.kcl.tkcells.get(i), "name", "") for each index
    py::object names = steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object cell = get_from(env, live_cells(env), PyTuple_GET_ITEM(idxs.ptr(), i));
        PyObject* name;
        if (_PyObject_LookupAttr(cell.ptr(), env[N::name].ptr(), &name) < 0) raise();
        PyList_SET_ITEM(names.ptr(), i, name ? name : PyUnicode_New(0, 0));
    }

    // A name met again keeps its first place and takes the later index.
    py::object name2idx = new_dict();
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle name = PyList_GET_ITEM(names.ptr(), i);
        if (truth(name)) set_item(name2idx, name, PyTuple_GET_ITEM(idxs.ptr(), i));
    }

    py::object lookup = env.global(N::get_factories_by_components);
    py::object records = steal(PyObject_Call(lookup.ptr(), steal(PySequence_Tuple(name2idx.ptr())).ptr(), nullptr));

    py::object with_none = new_dict();
    Py_ssize_t pos = 0;
    PyObject *name, *index;
    while (PyDict_Next(name2idx.ptr(), &pos, &name, &index)) set_item(with_none, index, get_from(env, records, name));

    py::object found = new_dict();
    pos = 0;
    PyObject* record;
    while (PyDict_Next(with_none.ptr(), &pos, &index, &record))
        if (record != Py_None) set_item(found, index, record);
    return found;
}

py::object get_runtime_factories_dependency_graph(const Env& env, py::handle names) {
    py::object start = PyTuple_GET_SIZE(names.ptr())
                           ? borrow(names.ptr())
                           : steal(PySequence_Tuple(env.call_global(N::get_all_factory_names).ptr()));
    py::object stack = steal(PySequence_List(start.ptr()));
    py::object visited = steal(PySet_New(nullptr));
    py::object graph = call(attr(env.global(N::nx), env[N::DiGraph]));

    while (const Py_ssize_t top = PyList_GET_SIZE(stack.ptr())) {
        py::object name = borrow(PyList_GET_ITEM(stack.ptr(), top - 1));
        if (PyList_SetSlice(stack.ptr(), top - 1, top, nullptr) < 0) raise();
        const int seen = PySequence_Contains(visited.ptr(), name.ptr());
        if (seen < 0) raise();
        if (seen) continue;

        method(graph, env[N::add_node], name);
        py::object found = unpack(env.call_global(N::get_runtime_factory_dependencies, name), 2);
        py::handle parents = PyTuple_GET_ITEM(found.ptr(), 0), children = PyTuple_GET_ITEM(found.ptr(), 1);
        if (truth(children)) {
            add_edges(env, graph, &edge_to_end_def, name, children);
            push(stack, children);
        }
        if (truth(parents)) {
            add_edges(env, graph, &edge_from_end_def, name, parents);
            push(stack, parents);
        }
        if (PySet_Add(visited.ptr(), name.ptr()) < 0) raise();
    }
    return graph;
}

}  // namespace tessaro::db
