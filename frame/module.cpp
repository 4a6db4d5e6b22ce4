// Module creation and execution: one module object per process, bound with
// `np`, the constants, the functions, the aliases and `__test__`.
#define FRAME_OWNS_NUMPY_API
#include "numpy_api.h"

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "ref.h"
#include "state.h"

namespace frame {

State state;

namespace {

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <int I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call(I, module, args, nargsf, kwnames);
}

template <int... I>
constexpr auto make_entries(std::integer_sequence<int, I...>) {
    return std::array<Entry, sizeof...(I)>{&entry<I>...};
}

constexpr auto entries = make_entries(std::make_integer_sequence<int, max_functions>{});

PyMethodDef methods[max_functions];
std::string signatures[max_functions];
PyModuleDef_Slot slots[3];
PyModuleDef definition;

// Only the signature block: inspect.signature() reads it, __doc__ stays None.
std::string text_signature(const Function& f) {
    std::string s = std::string(f.name) + "($module, /";
    for (int i = 0; i < f.nparams(); ++i) s += std::string(", ") + f.params[i];
    return s + ")\n--\n\n";
}

bool intern(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool intern_names() {
    Names& n = state.names;
    if (!intern(n.np, "np") || !intern(n.ascontiguousarray, "ascontiguousarray") ||
        !intern(n.float64, "float64") || !intern(n.empty, "empty") ||
        !intern(n.asarray, "asarray") || !intern(n.derivatives, "derivatives"))
        return false;
    if (!n.dtype_kwnames) {
        Ref dtype = Ref::steal(PyUnicode_InternFromString("dtype"));
        if (!dtype || !(n.dtype_kwnames = PyTuple_Pack(1, dtype.get()))) return false;
    }
    const auto functions = state.def->functions;
    for (size_t i = 0; i < functions.size(); ++i)
        for (int p = 0; p < functions[i].nparams(); ++p)
            if (!intern(state.params[i][p], functions[i].params[p])) return false;
    return true;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = id;
    } else if (state.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    // NumPy refuses to load twice in one process, and CPython 3.12's own
    // modules that NumPy imports do not survive a new runtime either.
    if (state.finalized) {
        PyErr_Format(PyExc_ImportError,
                     "%s cannot be imported again in this process: the interpreter that "
                     "imported it has been finalised (NumPy, which it needs, cannot be "
                     "loaded twice in one process either)",
                     state.def->dotted);
        return nullptr;
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    // The module registers itself under its dotted name: loaded under
    // another, it would stand in sys.modules without its package.
    if (!PyUnicode_Check(name.get()) ||
        PyUnicode_CompareWithASCIIString(name.get(), state.def->dotted) != 0) {
        PyErr_Format(PyExc_ImportError,
                     "the extension module %s cannot be imported under the name %R",
                     state.def->dotted, name.get());
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    static const char* const copies[][2] = {{"loader", "__loader__"},
                                            {"origin", "__file__"},
                                            {"parent", "__package__"},
                                            {"submodule_search_locations", "__path__"}};
    for (const auto& [from, to] : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && std::strcmp(to, "__path__") == 0) continue;
        if (PyObject_SetAttrString(module.get(), to, value.get()) < 0) return nullptr;
    }
    state.module = Py_NewRef(module.get());
    return module.release();
}

bool warn_on_version_mismatch() {
    const int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, state.def->dotted, "does not match",
                            major, minor) == 0;
}

bool ensure_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(state.def->dotted));
    if (!key) return false;
    Ref present = Ref::steal(PyObject_GetItem(modules, key.get()));
    if (present.get() == module) return true;
    if (!present) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
    }
    return PyObject_SetItem(modules, key.get(), module) == 0;
}

// NumPy's import_array() prints on failure; this raises instead, chained to
// NumPy's own error.
bool import_numpy_api() {
    if (_import_array() >= 0) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject* error = PyErr_GetRaisedException();
    if (cause) {
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);
    }
    PyErr_SetRaisedException(error);
    return false;
}

// module.attribute as a type, or null (with no exception set) when either
// is missing.
PyTypeObject* type_of(const char* module, const char* attribute) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    Ref t = m ? Ref::steal(PyObject_GetAttrString(m.get(), attribute)) : Ref();
    if (!t || !PyType_Check(t.get())) {
        PyErr_Clear();
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(t.release());
}

int function_index(const char* name) {
    const auto functions = state.def->functions;
    for (size_t i = 0; i < functions.size(); ++i)
        if (std::strcmp(functions[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

bool bind_attributes(PyObject* module) {
    const Module& def = *state.def;
    for (const Constant& c : def.constants)
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return false;

    Ref dotted = Ref::steal(PyUnicode_FromString(def.dotted));
    if (!dotted) return false;
    for (size_t i = 0; i < def.functions.size(); ++i) {
        PyObject* fn = PyCFunction_NewEx(&methods[i], module, dotted.get());
        if (!fn) return false;
        Py_XSETREF(state.functions[i], fn);
        if (PyModule_AddObjectRef(module, def.functions[i].name, fn) < 0) return false;
    }
    for (const Alias& a : def.aliases) {
        const int target = function_index(a.target);
        if (target < 0) {
            PyErr_Format(PyExc_ImportError, "init %s: alias of unknown function %s", def.dotted,
                         a.target);
            return false;
        }
        if (PyModule_AddObjectRef(module, a.name, state.functions[target]) < 0) return false;
    }
    Ref test = Ref::steal(PyDict_New());
    return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

int execute(PyObject* module) {
    if (state.executed_for) {
        if (state.executed_for == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.def->name);
        return -1;
    }
    if (!warn_on_version_mismatch() || !ensure_in_sys_modules(module)) return -1;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
    if (!import_numpy_api() || !intern_names() || !bind_attributes(module)) return -1;
    Py_XSETREF(state.numpy, numpy.release());
    if (!state.mmap_type) state.mmap_type = type_of("mmap", "mmap");
    if (!state.array_type) state.array_type = type_of("array", "array");
    if (state.def->exec && !state.def->exec(module)) return -1;
    state.executed_for = module;
    return 0;
}

int exec_slot(PyObject* module) {
    const int result = execute(module);
    if (result < 0 && !PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "init %s", state.def->dotted);
    return result;
}

// At the end of Py_FinalizeEx: the runtime's objects are gone. An embedding
// application that initialises Python again gets a clear ImportError rather
// than a module of the old runtime.
void forget_runtime() {
    const Module* def = state.def;
    state = State{};
    state.def = def;
    state.finalized = true;
}

}  // namespace

PyObject* init(const Module& m) {
    if (!state.def) {
        if (Py_AtExit(forget_runtime) < 0) {
            PyErr_Format(PyExc_ImportError, "init %s: no room for an exit function", m.dotted);
            return nullptr;
        }
        state.def = &m;
        for (size_t i = 0; i < m.functions.size(); ++i) {
            signatures[i] = text_signature(m.functions[i]);
            methods[i].ml_name = m.functions[i].name;
            methods[i].ml_meth =
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i]));
            methods[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
            methods[i].ml_doc = signatures[i].c_str();
        }
        slots[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
        slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
        slots[2] = {0, nullptr};
        definition = {
            PyModuleDef_HEAD_INIT, m.dotted, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
    }
    return PyModuleDef_Init(&definition);
}

}  // namespace frame
