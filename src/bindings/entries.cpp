#include "bindings/entries.hpp"

#include "base/published_messages.hpp"
#include "bindings/arguments.hpp"
#include "bindings/entry_guard.hpp"
#include "bindings/lapack_library.hpp"
#include "lie_algebra/algebra/coefficient_products.hpp"
#include "lie_algebra/bases/gellmann.hpp"
#include "lie_algebra/bases/sylvester.hpp"
#include "lie_algebra/decomposition/decomposition.hpp"
#include "numpy_bridge/input.hpp"
#include "numpy_bridge/output.hpp"
#include "python/errors.hpp"
#include "python/integers.hpp"

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

// Each matrix goes to NumPy as soon as it is built, so that the native basis
// is never held whole, and Ctrl-C finds little to release.
PyRef basis_list(void (*build)(std::uint64_t, const MatrixSink&), std::uint64_t d) {
    ArrayList list;
    build(d, [&](ComplexMatrix matrix) {
        check_signals();
        list.append(matrix);
    });
    return list.release();
}

// The coefficient arrays l_a and l_b, borrowed in that order.
struct CoefficientArguments {
    BorrowedMatrix l_a;
    BorrowedMatrix l_b;
};

CoefficientArguments coefficient_arguments(const std::vector<PyRef>& arguments) {
    BorrowedMatrix l_a = convert_argument("l_a", [&] { return BorrowedMatrix(arguments[0].get()); });
    BorrowedMatrix l_b = convert_argument("l_b", [&] { return BorrowedMatrix(arguments[1].get()); });
    return {std::move(l_a), std::move(l_b)};
}

// Copies are made once every argument is converted, in the order of the call.
std::vector<ComplexMatrix> basis_copies(const std::vector<BorrowedMatrix>& basis) {
    return convert_argument("basis", [&] { return copy_matrices(basis); });
}

ComplexMatrix copy_of(const char* name, const BorrowedMatrix& matrix) {
    return convert_argument(name, [&] { return matrix.copy(); });
}

// cross and dot: (l_a, l_b, f_ijk) to a coefficient array, for their kind of map.
template <class Map>
PyObject* coefficient_product(const char* location, Map (*map_from_dict)(PyObject*),
                              ComplexMatrix (*product)(const ComplexMatrix&, const ComplexMatrix&, const Map&,
                                                       InterruptCheck),
                              PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::vector<PyRef> arguments = parse_call_arguments({location, product_parameters}, args, kwargs);
        CoefficientArguments l = coefficient_arguments(arguments);
        const Map f_ijk = convert_argument("f_ijk", [&] { return map_from_dict(arguments[2].get()); });
        const ComplexMatrix l_a = copy_of("l_a", l.l_a), l_b = copy_of("l_b", l.l_b);
        return matrix_to_numpy(product(l_a, l_b, f_ijk, check_signals));
    });
}

}  // namespace

PyObject* gen_sylvester_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::uint64_t d =
            dimension_argument({published::gen_sylvester_entry, dimension_parameters}, args, kwargs);
        return basis_list(sylvester_basis, d);
    });
}

PyObject* gen_gellmann_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::uint64_t d = dimension_argument({published::gen_gellmann_entry, dimension_parameters}, args, kwargs);
        return basis_list(gellmann_basis, d);
    });
}

PyObject* get_structure_constants_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        std::vector<BorrowedMatrix> basis =
            basis_argument({published::get_structure_constants_entry, basis_parameters}, args, kwargs);
        require_lapack();
        return structure_map_to_dict(structure_constants(basis_copies(basis), check_signals));
    });
}

PyObject* get_d_coefficients_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        std::vector<BorrowedMatrix> basis =
            basis_argument({published::get_d_coefficients_entry, basis_parameters}, args, kwargs);
        require_lapack();
        return d_map_to_dict(d_coefficients(basis_copies(basis), check_signals));
    });
}

PyObject* su_commutator_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::vector<PyRef> arguments =
            parse_call_arguments({published::su_commutator_entry, commutator_parameters}, args, kwargs);
        CoefficientArguments l = coefficient_arguments(arguments);
        const StructureConstantMap f_ijk =
            convert_argument("f_ijk", [&] { return structure_map_from_dict(arguments[2].get()); });
        const std::vector<BorrowedMatrix> basis =
            convert_argument("basis", [&] { return borrow_matrix_sequence(arguments[3].get()); });
        const std::vector<ComplexMatrix> basis_values = basis_copies(basis);
        const ComplexMatrix l_a = copy_of("l_a", l.l_a), l_b = copy_of("l_b", l.l_b);
        return matrix_to_numpy(commutator_matrix(l_a, l_b, f_ijk, basis_values, check_signals));
    });
}

PyObject* cross_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return coefficient_product(published::cross_entry, structure_map_from_dict, cross_coefficients, args, kwargs);
}

PyObject* dot_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return coefficient_product(published::dot_entry, d_map_from_dict, dot_coefficients, args, kwargs);
}

}  // namespace zenqa
