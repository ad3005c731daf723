#include "bindings/thread_controls.hpp"

#include <algorithm>
#include <climits>

#include "base/thread_team.hpp"
#include "bindings/threadpool_controller_source.hpp"
#include "python/errors.hpp"

// What threadpoolctl calls through ctypes, with the GIL released: the
// number of threads a computation would take now, and the run-time limit.
extern "C" {

__attribute__((visibility("default"))) int zenqa_get_num_threads() noexcept {
    try {
        return static_cast<int>(std::min<std::size_t>(zenqa::compute_threads(), INT_MAX));
    } catch (...) {
        return 1;  // out of memory reading the cgroup files: the calling thread alone
    }
}

// 0 or less lifts the limit.
__attribute__((visibility("default"))) void zenqa_set_num_threads(int count) noexcept {
    zenqa::limit_compute_threads(count > 0 ? static_cast<std::size_t>(count) : 0);
}
}

namespace zenqa {

void install_threadpool_controller() {
    const PyRef globals = checked(PyDict_New());
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", checked(PyUnicode_FromString("zenqa")).get()) < 0)
        throw fetch_error();
    const PyRef code =
        checked(Py_CompileString(threadpool_controller_source, "zenqa/threadpool_controller.py", Py_file_input));
    checked(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    const PyRef install = checked(PyMapping_GetItemString(globals.get(), "install"));
    checked(PyObject_CallFunction(install.get(), "s", ZENQA_VERSION));
}

}  // namespace zenqa
