// The module frame: the callable type of the module's functions, the one
// argument parser every call goes through, and the module's import-time setup.
#include "frame.hpp"

// The one file with the whole of pybind11: it defines what the thrown
// py::error_already_set needs (its what() and vtable).
#include <pybind11/pybind11.h>

#include <atomic>
#include <new>

namespace tessaro::db {

// ---------------------------------------------------------------------------
// Runtime and Env

std::shared_ptr<const Runtime> Runtime::make() {
    auto rt = std::make_shared<Runtime>();
    static constexpr const char* texts[] = {
#define TESSARO_TEXT(id, text) text,
        TESSARO_NAMES(TESSARO_TEXT)
#undef TESSARO_TEXT
    };
    for (std::size_t i = 0; i < rt->names.size(); ++i) rt->names[i] = steal(PyUnicode_InternFromString(texts[i]));
    auto keywords = [&](std::initializer_list<N> ids) {
        py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
        Py_ssize_t i = 0;
        for (N id : ids) PyTuple_SET_ITEM(t.ptr(), i++, rt->names[static_cast<std::size_t>(id)].inc_ref().ptr());
        return t;
    };
    rt->factory_keywords =
        keywords({N::name, N::source, N::status, N::message, N::default_settings, N::pdk_type, N::parents, N::children,
                  N::is_partial, N::has_model, N::tags, N::ignored_sources, N::last_updated});
    rt->component_keywords = keywords({N::name, N::factory_name, N::ports, N::settings, N::info});
    rt->model_keywords = keywords({N::factory, N::settings, N::source, N::pdk_type, N::status, N::message});
    rt->walk_up_keywords = keywords({N::walk_up});
    rt->builtins = py::reinterpret_borrow<py::object>(PyEval_GetBuiltins());
    return rt;
}

py::object Env::global(N n) const {
    py::handle key = (*this)[n];
    if (PyObject* v = PyDict_GetItemWithError(globals_, key.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) raise();
    if (PyObject* v = PyDict_GetItemWithError(rt_.builtins.ptr(), key.ptr()))
        return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) raise();
    py::object args = steal(PyTuple_Pack(1, steal(PyUnicode_FromFormat("name '%U' is not defined", key.ptr())).ptr()));
    py::object kwargs = steal(Py_BuildValue("{s:O}", "name", key.ptr()));
    py::object exc = steal(PyObject_Call(PyExc_NameError, args.ptr(), kwargs.ptr()));
    PyErr_SetObject(PyExc_NameError, exc.ptr());
    raise();
}

py::object join(std::initializer_list<py::handle> parts) {
    py::object seq = steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (py::handle p : parts) PyTuple_SET_ITEM(seq.ptr(), i++, p.inc_ref().ptr());
    py::object empty = steal(PyUnicode_New(0, 0));
    return steal(PyUnicode_Join(empty.ptr(), seq.ptr()));
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
}

void raise_unbound(const char* local) {
    PyErr_Format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 local);
    raise();
}

namespace {

py::object interned(const char* ascii) { return steal(PyUnicode_InternFromString(ascii)); }

// ---------------------------------------------------------------------------
// The function type

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Entry* entry;
    PyObject* globals;  // the module namespace, read on every use of a global
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // dict or None
    PyObject* code;        // a code object describing the signature
    PyObject* dict;
    PyObject* weakrefs;
    std::shared_ptr<const Runtime> runtime;  // placement-constructed
};

// The call boundary: a Python exception thrown as py::error_already_set is put
// back exactly as it was raised.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f().release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

// --- argument errors -------------------------------------------------------

bool fail_count(const Entry& s, Py_ssize_t npositional, Py_ssize_t nrequired, Py_ssize_t given) {
    const char* wording;
    Py_ssize_t count;
    if (nrequired == npositional) {
        wording = "exactly";
        count = nrequired;
    } else if (given < nrequired) {
        wording = "at least";
        count = nrequired;
    } else {
        wording = "at most";
        count = npositional;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, wording, count,
                 count == 1 ? "" : "s", given);
    return false;
}

bool fail_keyword(const Entry& s, PyObject* key, const char* what) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    } else {
        PyErr_Format(PyExc_TypeError, what, s.name, key);
    }
    return false;
}

bool fail_type(const Param& p, const char* expected, PyObject* value, bool subclass) {
    py::object exc = call(py::handle(PyExc_TypeError),
                          steal(PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                                     p.name, expected, Py_TYPE(value)->tp_name)));
    if (subclass) {
        py::object note = steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are refused for typed parameters: pass a plain %s.", expected));
        steal(PyObject_CallMethod(exc.ptr(), "add_note", "O", note.ptr()));
    }
    PyErr_SetObject(PyExc_TypeError, exc.ptr());
    return false;
}

Py_ssize_t find_param(const Entry& s, PyObject* key) {
    for (std::size_t i = 0; i < s.nparams; ++i)
        if (s.params[i].kind != Kind::var && PyUnicode_CompareWithASCIIString(key, s.params[i].name) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

// --- the parser ------------------------------------------------------------

// The value an omitted parameter takes.
py::object default_value(Default fallback) {
    return fallback == Default::yes ? py::reinterpret_borrow<py::object>(Py_True) : integer(0);
}

py::object tuple_of(PyObject* const* items, Py_ssize_t n) {
    py::object t = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(items[i]));
    return t;
}

// Binds a call's arguments to the parameters of s, or sets the TypeError the
// caller sees (a failing conversion throws its error).  Faults are reported as Python's own functions report them: too
// many positional arguments, then the first bad keyword in the order given,
// then a missing parameter.  Checks come before conversions, and conversions
// (which may run the caller's __bool__ or __int__) only once the call is known
// to be valid.
bool parse(const Entry& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;

    if (s.nparams == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", s.name, "takes no keyword arguments");
            return false;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", s.name, "takes no arguments", nargs);
            return false;
        }
        return true;
    }

    Py_ssize_t npositional = 0, nrequired = 0, var_index = -1;
    for (std::size_t i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        if (p.kind == Kind::var) var_index = static_cast<Py_ssize_t>(i);
        if (p.kind != Kind::positional) continue;
        ++npositional;
        if (p.fallback == Default::required) nrequired = npositional;
    }

    // Only a variadic parameter: every positional argument goes into the tuple.
    if (s.nparams == 1 && var_index == 0) {
        if (nkw > 0)
            return fail_keyword(s, PyTuple_GET_ITEM(kwnames, 0), "%s() got an unexpected keyword argument '%U'");
        out.v[0] = tuple_of(args, nargs);
        return true;
    }

    if (var_index < 0 && nargs > npositional) return fail_count(s, npositional, nrequired, nargs);

    std::array<PyObject*, max_params> values{};  // borrowed
    const Py_ssize_t taken = nargs < npositional ? nargs : npositional;
    for (Py_ssize_t i = 0; i < taken; ++i) values[static_cast<std::size_t>(i)] = args[i];

    // The keywords, in the order given, before any shortage is judged.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return fail_keyword(s, key, nullptr);
        Py_ssize_t j = find_param(s, key);
        if (j < 0) return fail_keyword(s, key, "%s() got an unexpected keyword argument '%U'");
        if (j < taken || values[static_cast<std::size_t>(j)])  // given by position, or twice by a C caller
            return fail_keyword(s, key, "%s() got multiple values for keyword argument '%U'");
        values[static_cast<std::size_t>(j)] = kwvalues[k];
    }

    // The first required positional parameter still missing, by its position.
    for (Py_ssize_t i = taken; i < nrequired; ++i)
        if (!values[static_cast<std::size_t>(i)]) return fail_count(s, npositional, nrequired, i);

    for (std::size_t i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        if (p.kind == Kind::keyword && p.fallback == Default::required && !values[i]) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", s.name, p.name);
            return false;
        }
    }

    // Exact built-in types.
    for (std::size_t i = 0; i < s.nparams; ++i) {
        PyObject* v = values[i];
        if (!v) continue;
        switch (s.params[i].conv) {
            case Conv::exact_list:
                if (!PyList_CheckExact(v)) return fail_type(s.params[i], "list", v, PyList_Check(v));
                break;
            case Conv::exact_str:
                if (!PyUnicode_CheckExact(v)) return fail_type(s.params[i], "str", v, PyUnicode_Check(v));
                break;
            case Conv::exact_tuple:
                if (!PyTuple_CheckExact(v)) return fail_type(s.params[i], "tuple", v, PyTuple_Check(v));
                break;
            default:
                break;
        }
    }

    // Conversions and defaults.
    for (std::size_t i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        PyObject* v = values[i];
        if (p.kind == Kind::var) {
            out.v[i] = tuple_of(args + npositional, nargs - npositional);
        } else if (!v) {
            out.v[i] = default_value(p.fallback);
        } else if (p.conv == Conv::truth) {
            int r = v == Py_True ? 1 : (v == Py_False || v == Py_None) ? 0 : PyObject_IsTrue(v);
            if (r < 0) return false;
            out.v[i] = py::reinterpret_borrow<py::object>(r ? Py_True : Py_False);
        } else if (p.conv == Conv::integer && !PyLong_CheckExact(v)) {
            if (!PyNumber_Check(v)) return fail_type(p, "int", v, false);
            out.v[i] = steal(PyNumber_Long(v));
        } else {
            out.v[i] = py::reinterpret_borrow<py::object>(v);
        }
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    const Entry& entry = *fn->entry;
    return guarded([&] {
        Args parsed;
        if (!parse(entry, args, PyVectorcall_NARGS(nargsf), kwnames, parsed)) return py::object();
        return entry.body(Env(fn->globals, *fn->runtime), parsed);
    });
}

// --- the type's slots -------------------------------------------------------

// The object references a function owns.
constexpr PyObject* Function::*owned[] = {&Function::globals,     &Function::name,     &Function::qualname,
                                           &Function::module,      &Function::doc,      &Function::annotations,
                                           &Function::defaults,    &Function::kwdefaults, &Function::code,
                                           &Function::dict};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    if (int r = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return r;
    for (PyObject* Function::*field : owned) Py_VISIT(reinterpret_cast<Function*>(self)->*field);
    return 0;
}

int function_clear(PyObject* self) {
    for (PyObject* Function::*field : owned) Py_CLEAR(reinterpret_cast<Function*>(self)->*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    fn->runtime.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

// Bound like a function: looked up on an instance, a method of it.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }

int set_str_field(PyObject*& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    if (!fn->annotations) fn->annotations = PyDict_New();
    return Py_XNewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.signature() reads this: the parameters of the table entry, with
// their kinds, defaults and annotation texts.
PyObject* get_signature(PyObject* self, void*) {
    const Entry& s = *reinterpret_cast<Function*>(self)->entry;
    return guarded([&] {
        py::object inspect = steal(PyImport_ImportModule("inspect"));
        py::object parameter = attr(inspect, text("Parameter"));
        py::object empty = attr(parameter, text("empty"));
        py::object params = new_list();
        for (std::size_t i = 0; i < s.nparams; ++i) {
            const Param& p = s.params[i];
            const char* kind = p.kind == Kind::var       ? "VAR_POSITIONAL"
                               : p.kind == Kind::keyword ? "KEYWORD_ONLY"
                                                         : "POSITIONAL_OR_KEYWORD";
            py::object fallback = p.fallback == Default::required ? empty : default_value(p.fallback);
            py::object kwargs =
                steal(Py_BuildValue("{s:O,s:O}", "default", fallback.ptr(), "annotation", text(p.annotation).ptr()));
            py::object positional = steal(Py_BuildValue("(sO)", p.name, attr(parameter, text(kind)).ptr()));
            append(params, steal(PyObject_Call(parameter.ptr(), positional.ptr(), kwargs.ptr())));
        }
        py::object signature = attr(inspect, text("Signature"));
        py::object kwargs = steal(Py_BuildValue("{s:O}", "return_annotation", text(s.returns).ptr()));
        py::object positional = steal(PyTuple_Pack(1, params.ptr()));
        return steal(PyObject_Call(signature.ptr(), positional.ptr(), kwargs.ptr()));
    });
}

// Functions pickle and copy by reference, as module-level functions do.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__kwdefaults__", Py_T_OBJECT_EX, offsetof(Function, kwdefaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_description = {
    "tessaro.core.database.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

py::object make_annotations(const Entry& s) {
    py::object d = new_dict();
    for (std::size_t i = 0; i < s.nparams; ++i) set_item(d, interned(s.params[i].name), text(s.params[i].annotation));
    set_item(d, interned("return"), text(s.returns));
    return d;
}

// __defaults__ and __kwdefaults__: the defaults of the positional and of the
// keyword-only parameters, None where there are none.
py::object make_defaults(const Entry& s) {
    py::object values = new_list();
    for (std::size_t i = 0; i < s.nparams; ++i)
        if (s.params[i].kind == Kind::positional && s.params[i].fallback != Default::required)
            append(values, default_value(s.params[i].fallback));
    if (PyList_GET_SIZE(values.ptr()) == 0) return py::none();
    return steal(PyList_AsTuple(values.ptr()));
}
py::object make_kwdefaults(const Entry& s) {
    py::object values = new_dict();
    for (std::size_t i = 0; i < s.nparams; ++i)
        if (s.params[i].kind == Kind::keyword && s.params[i].fallback != Default::required)
            set_item(values, interned(s.params[i].name), default_value(s.params[i].fallback));
    if (PyDict_GET_SIZE(values.ptr()) == 0) return py::none();
    return values;
}

// __code__: an empty code object carrying the signature as a def statement
// lays it out (positional, keyword-only, then the variadic name), for tools
// that read parameters from code objects.
py::object make_code(const Entry& s, py::handle module_name) {
    py::object varnames = new_list();
    int argcount = 0, kwonlyargcount = 0, flags = CO_OPTIMIZED | CO_NEWLOCALS;
    for (Kind kind : {Kind::positional, Kind::keyword, Kind::var})
        for (std::size_t i = 0; i < s.nparams; ++i) {
            if (s.params[i].kind != kind) continue;
            append(varnames, text(s.params[i].name));
            argcount += kind == Kind::positional;
            kwonlyargcount += kind == Kind::keyword;
            if (kind == Kind::var) flags |= CO_VARARGS;
        }
    py::object filename = steal(PyUnicode_FromFormat("<%U>", module_name.ptr()));
    py::object empty = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", s.name, 1)));
    py::object replace = attr(empty, text("replace"));
    py::object kwargs = steal(Py_BuildValue("{s:i,s:i,s:N,s:n,s:i,s:O}", "co_argcount", argcount, "co_kwonlyargcount",
                                            kwonlyargcount, "co_varnames", PyList_AsTuple(varnames.ptr()),
                                            "co_nlocals", PyList_GET_SIZE(varnames.ptr()), "co_flags", flags,
                                            "co_filename", filename.ptr()));
    py::object no_args = steal(PyTuple_New(0));
    return steal(PyObject_Call(replace.ptr(), no_args.ptr(), kwargs.ptr()));
}

py::object make_function(PyTypeObject* type, const Entry& s, py::handle globals, py::handle module_name,
                         const std::shared_ptr<const Runtime>& rt) {
    py::object name = text(s.name);
    py::object doc = py::none();
    if (s.doc) doc = text(s.doc);
    py::object annotations = make_annotations(s);
    py::object defaults = make_defaults(s), kwdefaults = make_kwdefaults(s), code = make_code(s, module_name);
    py::object self = steal(type->tp_alloc(type, 0));
    auto* fn = reinterpret_cast<Function*>(self.ptr());
    new (&fn->runtime) std::shared_ptr<const Runtime>(rt);
    fn->vectorcall = function_vectorcall;
    fn->entry = &s;
    fn->globals = globals.inc_ref().ptr();
    fn->qualname = name.inc_ref().ptr();
    fn->name = name.release().ptr();
    fn->module = module_name.inc_ref().ptr();
    fn->doc = doc.release().ptr();
    fn->annotations = annotations.release().ptr();
    fn->defaults = defaults.release().ptr();
    fn->kwdefaults = kwdefaults.release().ptr();
    fn->code = code.release().ptr();
    return self;
}

// ---------------------------------------------------------------------------
// Import-time setup

void bind(py::handle globals, N n, py::handle value, const Env& env) { set_item(globals, env[n], value); }

// __import__(module, globals, globals, fromlist, 0), as an import statement at
// module level calls it: the namespace is both its globals and its locals.
py::object import(const char* module, py::handle globals, std::initializer_list<N> fromlist, const Env& env) {
    py::object names = steal(PyTuple_New(static_cast<Py_ssize_t>(fromlist.size())));
    Py_ssize_t i = 0;
    for (N n : fromlist) PyTuple_SET_ITEM(names.ptr(), i++, env[n].inc_ref().ptr());
    PyObject* found = PyDict_GetItemWithError(env.runtime().builtins.ptr(), text("__import__").ptr());
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        raise();
    }
    // Held while it runs: it may rebind builtins.__import__ itself.
    py::object importer = py::reinterpret_borrow<py::object>(found);
    py::object from = py::none();
    if (fromlist.size()) from = names;
    return call(importer, text(module), globals, globals, from, integer(0));
}

// The attribute `from module import name` binds: the attribute, else a
// submodule of that name already in sys.modules, else the ImportError the
// statement raises.
py::object import_from(py::handle module, N n, const Env& env) {
    py::handle name = env[n];
    if (PyObject* v = PyObject_GetAttr(module.ptr(), name.ptr())) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    py::object package = py::reinterpret_steal<py::object>(PyObject_GetAttrString(module.ptr(), "__name__"));
    if (!package || !PyUnicode_Check(package.ptr())) {
        PyErr_Clear();
        package = py::object();
    } else {
        py::object full = steal(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
        if (PyObject* submodule = PyImport_GetModule(full.ptr())) return steal(submodule);
        if (PyErr_Occurred()) raise();
    }
    py::object shown = package ? package : text("<unknown module name>");
    py::object path = py::reinterpret_steal<py::object>(PyModule_GetFilenameObject(module.ptr()));
    py::object message;
    if (!path) {
        PyErr_Clear();
        path = py::object();
        message =
            steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(), shown.ptr()));
    } else {
        // A module the import system still marks as initialising: a circular import.
        bool initializing = false;
        if (PyObject* origin = PyObject_GetAttrString(module.ptr(), "__spec__")) {
            py::object held = steal(origin);
            if (PyObject* flag = PyObject_GetAttrString(origin, "_initializing")) {
                int r = PyObject_IsTrue(flag);
                Py_DECREF(flag);
                initializing = r > 0;
            }
        }
        PyErr_Clear();
        message =
            steal(PyUnicode_FromFormat(initializing ? "cannot import name %R from partially initialized module %R "
                                                      "(most likely due to a circular import) (%S)"
                                                    : "cannot import name %R from %R (%S)",
                                       name.ptr(), shown.ptr(), path.ptr()));
    }
    py::object kwargs = steal(Py_BuildValue("{s:O,s:O,s:O}", "path", path ? path.ptr() : Py_None, "name",
                                            package ? package.ptr() : Py_None, "name_from", name.ptr()));
    py::object args = steal(PyTuple_Pack(1, message.ptr()));
    py::object exc = steal(PyObject_Call(PyExc_ImportError, args.ptr(), kwargs.ptr()));
    PyErr_SetObject(PyExc_ImportError, exc.ptr());
    raise();
}

void bind_from(const char* module, std::initializer_list<N> names, py::handle globals, const Env& env) {
    py::object m = import(module, globals, names, env);
    for (N n : names) bind(globals, n, import_from(m, n, env), env);
}

void setup(PyObject* module) {
    py::handle globals = PyModule_GetDict(module);
    std::shared_ptr<const Runtime> rt = Runtime::make();
    Env env(globals.ptr(), *rt);
    py::object type = steal(PyType_FromModuleAndSpec(module, &function_type_description, nullptr));
    py::object module_name = steal(PyModule_GetNameObject(module));

    // import sqlite3; from pathlib import Path; from typing import TYPE_CHECKING
    bind(globals, N::sqlite3, import("sqlite3", globals, {}, env), env);
    bind_from("pathlib", {N::Path}, globals, env);
    bind_from("typing", {N::TYPE_CHECKING}, globals, env);
    bind_from("tessaro.core.shared", {N::try_func}, globals, env);
    bind_from("tessaro.models", {N::ComponentRecord, N::FactoryRecord, N::ModelRecord}, globals, env);

    // The collaborators that are only imported on first use.
    bind_from("tessaro.core.lazy", {N::lazy_import}, globals, env);
    bind(globals, N::nx, env.call_global(N::lazy_import, text("networkx")), env);
    bind(globals, N::bl, env.call_global(N::lazy_import, text("brimlay")), env);
    bind(globals, N::log, env.call_global(N::lazy_import, text("tessaro.logger"), text("get_logger")), env);
    bind(globals, N::get_project_dir,
         env.call_global(N::lazy_import, text("tessaro.settings"), text("get_project_dir")), env);
    bind(globals, N::get_db_path, env.call_global(N::lazy_import, text("tessaro.settings"), text("get_db_path")), env);

    // Plain imports for type checkers; false at run time.
    if (truth(env.global(N::TYPE_CHECKING))) {
        // import brimlay as bl; import networkx as nx
        bind(globals, N::bl, import("brimlay", globals, {}, env), env);
        bind(globals, N::nx, import("networkx", globals, {}, env), env);
        // from tessaro.logger import get_logger as log
        py::object logger = import("tessaro.logger", globals, {N::get_logger}, env);
        bind(globals, N::log, import_from(logger, N::get_logger, env), env);
        // from tessaro.settings import get_db_path, get_project_dir
        bind_from("tessaro.settings", {N::get_db_path, N::get_project_dir}, globals, env);
    }

    for (const Entry& s : function_table()) {
        py::object f = make_function(reinterpret_cast<PyTypeObject*>(type.ptr()), s, globals, module_name, rt);
        if (s.through_try_func) f = env.call_global(N::try_func, f);
        set_item(globals, interned(s.name), f);
    }
}

// ---------------------------------------------------------------------------
// Module definition.  The extension can live in one interpreter per process
// and is initialised once: loading it again hands back the module object
// already made, and executing that object again does nothing.  These three
// facts are process-wide by nature, so they are the module's only statics.

std::atomic<std::int64_t> loaded_interpreter{-1};
PyObject* created_module = nullptr;      // strong
PyObject* initialised_module = nullptr;  // borrowed from created_module

PyObject* module_create(PyObject* import_info, PyModuleDef*) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    std::int64_t expected = -1;
    if (!loaded_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (created_module) return Py_NewRef(created_module);
    return guarded([&] {
        py::object module = steal(PyModule_NewObject(attr(import_info, text("name")).ptr()));
        created_module = module.inc_ref().ptr();
        return module;
    });
}

int module_exec(PyObject* module) {
    if (initialised_module == module) return 0;
    if (initialised_module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'database' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    const unsigned long major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, "tessaro.core.database", "does not match",
                             static_cast<int>(major), static_cast<int>(minor)) < 0)
            return -1;
    }
    PyObject* ok = guarded([&] {
        setup(module);
        return py::none();
    });
    if (!ok) return -1;
    Py_DECREF(ok);
    initialised_module = module;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The create slot itself refuses every interpreter but the first, so the
    // import system may hand it any interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "database",
    "Database utilities for tracking factory and component information.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessaro::db

PyMODINIT_FUNC PyInit_database() { return PyModuleDef_Init(&tessaro::db::module_def); }
