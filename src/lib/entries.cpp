#include "lib/entries.hpp"

#include "lib/arguments.hpp"
#include "lib/entry_guard.hpp"
#include "lie_algebra/decomposition.hpp"
#include "lie_algebra/gellmann.hpp"
#include "numpy_bridge/input.hpp"
#include "numpy_bridge/output.hpp"
#include "sylvester/sylvester.hpp"

namespace zenqa {

namespace {

constexpr const char* dimension_parameters[] = {"d"};
constexpr const char* basis_parameters[] = {"basis"};
constexpr const char* commutator_parameters[] = {"l_a", "l_b", "f_ijk", "basis"};
constexpr const char* product_parameters[] = {"l_a", "l_b", "f_ijk"};

std::uint64_t dimension_argument(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const std::vector<PyRef> arguments = parse_call_arguments(signature, args, kwargs);
    return convert_argument("d", [&] { return to_u64(arguments[0].get()); });
}

std::vector<BorrowedMatrix> basis_argument(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const std::vector<PyRef> arguments = parse_call_arguments(signature, args, kwargs);
    return convert_argument("basis", [&] { return borrow_matrix_sequence(arguments[0].get()); });
}

// Lets Ctrl-C stop a long computation; the KeyboardInterrupt unwinds it.
void check_signals() {
    if (PyErr_CheckSignals() < 0) throw fetch_error();
}

[[noreturn]] void not_implemented(const Signature& signature, PyObject* args, PyObject* kwargs) {
    parse_call_arguments(signature, args, kwargs);
    throw PendingError(PyExc_NotImplementedError, std::string(signature.location) + " is not implemented yet");
}

}  // namespace

PyObject* gen_sylvester_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::uint64_t d = dimension_argument({"gen_sylvester_py()", dimension_parameters}, args, kwargs);
        return matrices_to_list(sylvester_basis(d));
    });
}

PyObject* gen_gellmann_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::uint64_t d = dimension_argument({"gen_gellmann_py()", dimension_parameters}, args, kwargs);
        return matrices_to_list(gellmann_basis(d));
    });
}

PyObject* get_structure_constants_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        std::vector<BorrowedMatrix> basis = basis_argument({"get_structure_constants_py()", basis_parameters}, args, kwargs);
        return structure_map_to_dict(structure_constants(take_matrices(basis), check_signals));
    });
}

PyObject* get_d_coefficients_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        std::vector<BorrowedMatrix> basis = basis_argument({"get_d_coefficients_py()", basis_parameters}, args, kwargs);
        return d_map_to_dict(d_coefficients(take_matrices(basis), check_signals));
    });
}

PyObject* su_commutator_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyRef {
        not_implemented({"su_commutator_py()", commutator_parameters}, args, kwargs);
    });
}

PyObject* cross_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyRef { not_implemented({"cross_py()", product_parameters}, args, kwargs); });
}

PyObject* dot_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyRef { not_implemented({"dot_py()", product_parameters}, args, kwargs); });
}

}  // namespace zenqa
