#include <new>
#include <string>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "base/thread_team.hpp"
#include "bindings/algebra_type.hpp"
#include "bindings/entries.hpp"
#include "bindings/entry_guard.hpp"
#include "bindings/thread_controls.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

struct PublishedFunction {
    const char* name;
    PyCFunctionWithKeywords entry;
};

// Published in this order; __all__ lists them in the same order.
constexpr PublishedFunction function_table[] = {
    {"gen_sylvester", gen_sylvester_py},
    {"gen_gellmann", gen_gellmann_py},
    {"get_structure_constants", get_structure_constants_py},
    {"get_d_coefficients", get_d_coefficients_py},
    {"su_commutator", su_commutator_py},
    {"cross", cross_py},
    {"dot", dot_py},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "zenqa", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyRef export_list(PyObject* module) {
    PyObject* existing = PyObject_GetAttrString(module, "__all__");
    if (existing != nullptr) {
        PyRef list = PyRef::steal(existing);
        if (!PyList_Check(existing)) throw downcast_error(existing, published::list_target);
        return list;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw fetch_error();
    PyErr_Clear();
    PyRef list = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", list.get()) < 0) throw fetch_error();
    return list;
}

void publish(PyObject* module, PyObject* name, PyObject* value) {
    const PyRef all = export_list(module);
    if (PyList_Append(all.get(), name) < 0) raise_fault(published::export_list_failed + fetch_error().message());
    if (PyObject_SetAttr(module, name, value) < 0) throw fetch_error();
}

void publish_attribute(PyObject* module, const char* name, PyObject* value) {
    publish(module, checked(PyUnicode_FromString(name)).get(), value);
}

void publish_function(PyObject* module, PyObject* function) {
    const PyRef name = checked(PyObject_GetAttrString(function, "__name__"));
    if (!PyUnicode_Check(name.get())) throw downcast_error(name.get(), published::string_target);
    publish(module, name.get(), function);
}

void register_functions(PyObject* module) {
    const PyRef module_name = checked(PyModule_GetNameObject(module));
    for (const PublishedFunction& published : function_table) {
        // The function object points at its record for the rest of the process;
        // an empty ml_doc gives __doc__ None and no text signature.
        auto* record = new PyMethodDef{published.name,
                                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(published.entry)),
                                       METH_VARARGS | METH_KEYWORDS, ""};
        const PyRef function = checked(PyCFunction_NewEx(record, module, module_name.get()));
        publish_function(module, function.get());
    }
}

PyRef make_module() {
    PyRef module = checked(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    publish_attribute(module.get(), published::doc_attribute, checked(PyUnicode_FromString("")).get());
    register_functions(module.get());
    add_algebra_type(module.get());
    // The distribution's version, set at build time; not part of __all__.
    const PyRef version = checked(PyUnicode_FromString(ZENQA_VERSION));
    if (PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0) throw fetch_error();
    install_threadpool_controller();
    // Daemon threads may still compute at exit, when OpenBLAS is unloaded.
    if (!wait_at_exit_for_computations()) throw std::bad_alloc();
    return module;
}

}  // namespace

}  // namespace zenqa

PyMODINIT_FUNC PyInit_zenqa() { return zenqa::entry_guard(zenqa::make_module); }
