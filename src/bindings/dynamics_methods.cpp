#include "bindings/dynamics_methods.hpp"

#include <utility>

#include "bindings/entry_guard.hpp"
#include "lie_algebra/dynamics/gks_form.hpp"
#include "lie_algebra/dynamics/lindblad_generator.hpp"
#include "lie_algebra/dynamics/liouvillian.hpp"
#include "numpy_bridge/algebra_arrays.hpp"
#include "numpy_bridge/dynamics_arrays.hpp"
#include "python/released_gil.hpp"

namespace zenqa {

namespace {

Complex* data_of(const PyRef& array) { return static_cast<Complex*>(array_data(array)); }

PyRef pair(const PyRef& first, const PyRef& second) { return checked(PyTuple_Pack(2, first.get(), second.get())); }

// Parses the arguments a and b of a generator, shapes (n, n) and (n,):
// take_a gets a, checked for its shape and element type, before b is looked
// at; b's values are returned.
template <class TakeA>
std::vector<Complex> generator_arguments(PyObject* args, PyObject* kwargs, const char* format, std::size_t n,
                                         TakeA&& take_a) {
    static const char* keywords[] = {"a", "b", nullptr};
    PyObject *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &a, &b)) throw fetch_error();
    take_a(complex_array_argument("a", a, {n, n}));
    return complex_argument("b", b, {n});
}

PyObject* algebra_lindblad(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        static const char* keywords[] = {"hamiltonian", "jump_operators", "rates", nullptr};
        PyObject *hamiltonian = nullptr, *jumps = nullptr, *rates = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:lindblad", const_cast<char**>(keywords), &hamiltonian,
                                         &jumps, &rates))
            throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = algebra_of(self);
        const std::size_t n = algebra->size(), d = algebra->dim();
        LindbladEquation equation;
        equation.hamiltonian = complex_argument("hamiltonian", hamiltonian, {d, d});
        if (jumps != nullptr) {
            JumpOperators operators = jump_operators_argument(jumps, d);
            equation.jumps = std::move(operators.values);
            equation.rates = rates_argument(rates, operators.count);
        } else {
            equation.rates = rates_argument(rates, 0);
        }
        PyRef a = new_complex_array({}, {n, n}, "the generator");
        PyRef b = new_complex_array({}, {n}, "the generator");
        {
            const ReleasedGil released;
            lindblad_generator(*algebra, equation, data_of(a), data_of(b), ReleasedGil::check_signals);
        }
        return pair(a, b);
    });
}

PyObject* algebra_lindblad_terms(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::shared_ptr<const Algebra> algebra = algebra_of(self);
        const std::size_t n = algebra->size(), d = algebra->dim();
        // A is copied where C goes, which takes its place once it is used.
        PyRef kossakowski;
        const std::vector<Complex> b = generator_arguments(args, kwargs, "OO:lindblad_terms", n, [&](const PyRef& a) {
            kossakowski = new_complex_array({}, {n, n}, "the Kossakowski matrix");
            copy_complex_argument("a", a, data_of(kossakowski));
        });
        PyRef hamiltonian = new_complex_array({}, {d, d}, "the Hamiltonian");
        {
            const ReleasedGil released;
            gks_form(*algebra, b.data(), data_of(hamiltonian), data_of(kossakowski), ReleasedGil::check_signals);
        }
        return pair(hamiltonian, kossakowski);
    });
}

PyObject* algebra_from_liouvillian(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        static const char* keywords[] = {"superoperator", nullptr};
        PyObject* superoperator = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_liouvillian", const_cast<char**>(keywords),
                                         &superoperator))
            throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = algebra_of(self);
        const std::size_t n = algebra->size(), d = algebra->dim();
        const std::vector<Complex> values = complex_argument("superoperator", superoperator, {d * d, d * d});
        PyRef a = new_complex_array({}, {n, n}, "the generator");
        PyRef b = new_complex_array({}, {n}, "the generator");
        {
            const ReleasedGil released;
            from_liouvillian(*algebra, values.data(), data_of(a), data_of(b), ReleasedGil::check_signals);
        }
        return pair(a, b);
    });
}

PyObject* algebra_to_liouvillian(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::shared_ptr<const Algebra> algebra = algebra_of(self);
        const std::size_t n = algebra->size(), d = algebra->dim();
        std::vector<Complex> a;
        const std::vector<Complex> b = generator_arguments(
            args, kwargs, "OO:to_liouvillian", n, [&](const PyRef& array) { a = complex_argument_values("a", array); });
        PyRef superoperator = new_complex_array({}, {d * d, d * d}, "the superoperator");
        {
            const ReleasedGil released;
            to_liouvillian(*algebra, std::move(a), b.data(), data_of(superoperator), ReleasedGil::check_signals);
        }
        return superoperator;
    });
}

template <class Function>
PyCFunction with_keywords(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

std::vector<PyMethodDef> dynamics_methods() {
    return {
        {"lindblad", with_keywords(algebra_lindblad), METH_VARARGS | METH_KEYWORDS,
         "lindblad($self, /, hamiltonian, jump_operators=(), rates=None)\n--\n\n"
         "The generator (A, b) of the coherence vector x of rho = I/d + sum_k x_k B_k\n"
         "under d rho/dt = -i[H, rho] + sum_m g_m (L_m rho L_m^H - 1/2 {L_m^H L_m, rho}):\n"
         "dx/dt = A x + b, column j of A the coefficients of L(B_j), b those of\n"
         "L(I/d). hamiltonian: Hermitian (d, d); jump_operators: (d, d) matrices or\n"
         "an (m, d, d) array; rates: m real numbers, 1 each by default (negative\n"
         "ones allowed). The basis must span the traceless matrices. Matrices given\n"
         "as scipy.sparse, here and in the other methods, are taken dense."},
        {"lindblad_terms", with_keywords(algebra_lindblad_terms), METH_VARARGS | METH_KEYWORDS,
         "lindblad_terms($self, /, a, b)\n--\n\n"
         "The GKS form (hamiltonian, kossakowski) of the generator (A, b): H traceless\n"
         "Hermitian (d, d) and C Hermitian (n, n) with D(rho) = sum_ij C_ij\n"
         "(B_i rho B_j^H - 1/2 {B_j^H B_i, rho}). The generator is completely\n"
         "positive exactly when C is positive semidefinite. Needs d*d - 1\n"
         "independent traceless basis matrices; ValueError for a generator that\n"
         "does not preserve Hermiticity, with the size of the deviation. Within\n"
         "the tolerance (1e-8 of its Choi matrix), the form of its Hermitian part."},
        {"from_liouvillian", with_keywords(algebra_from_liouvillian), METH_VARARGS | METH_KEYWORDS,
         "from_liouvillian($self, /, superoperator)\n--\n\n"
         "The generator (A, b) of a trace-preserving (d*d, d*d) superoperator acting\n"
         "on the column-stacked vec(rho), as qutip.liouvillian(...).full() gives it."},
        {"to_liouvillian", with_keywords(algebra_to_liouvillian), METH_VARARGS | METH_KEYWORDS,
         "to_liouvillian($self, /, a, b)\n--\n\n"
         "The (d*d, d*d) superoperator of the generator (A, b), acting on the\n"
         "column-stacked vec(rho) (QuTiP's convention)."},
    };
}

}  // namespace zenqa
