#include "bindings/algebra_type.hpp"

#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/checked_math.hpp"
#include "bindings/arguments.hpp"
#include "bindings/dynamics_methods.hpp"
#include "bindings/entry_guard.hpp"
#include "bindings/lapack_library.hpp"
#include "lie_algebra/algebra/algebra.hpp"
#include "lie_algebra/algebra/batched_products.hpp"
#include "numpy_bridge/algebra_arrays.hpp"
#include "numpy_bridge/sparse_matrices.hpp"
#include "python/released_gil.hpp"

namespace zenqa {

namespace {

// clang-format off
struct AlgebraObject {
    PyObject_HEAD
    // Shared with the calls that compute on it without the GIL.
    std::shared_ptr<const Algebra> algebra;
    // The basis came as scipy.sparse matrices, and goes back as CSR arrays.
    bool sparse_basis;
};
// clang-format on

AlgebraObject* as_algebra(PyObject* self) { return reinterpret_cast<AlgebraObject*>(self); }

constexpr const char* construction_parameters[] = {"basis"};

PyObject* algebra_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_guard([&] {
        const std::vector<PyRef> arguments = parse_call_arguments({"Algebra()", construction_parameters}, args, kwargs);
        BasisValues basis = basis_values(arguments[0].get());
        require_lapack();
        std::shared_ptr<const Algebra> algebra;
        {
            const ReleasedGil released;
            algebra = std::make_shared<const Algebra>(std::move(basis.columns), basis.d, ReleasedGil::check_signals);
        }
        PyRef self = checked(type->tp_alloc(type, 0));
        new (&as_algebra(self.get())->algebra) std::shared_ptr<const Algebra>(std::move(algebra));
        as_algebra(self.get())->sparse_basis = basis.sparse;
        return self;
    });
}

void algebra_dealloc(PyObject* self) {
    as_algebra(self)->algebra.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

// The basis in the form it was given: an array of shape (n, d, d), or a list
// of CSR arrays.
PyRef basis_matrices(PyObject* self) {
    const Algebra& algebra = *as_algebra(self)->algebra;
    if (as_algebra(self)->sparse_basis) return csr_arrays(algebra.basis_columns(), algebra.dim());
    PyRef array = new_complex_array({algebra.size()}, {algebra.dim(), algebra.dim()}, "copying the basis");
    algebra.write_basis(static_cast<Complex*>(array_data(array)));
    make_read_only(array);
    return array;
}

PyObject* algebra_repr(PyObject* self) {
    const Algebra& algebra = *as_algebra(self)->algebra;
    const std::string text =
        "Algebra(n=" + std::to_string(algebra.size()) + ", dim=" + std::to_string(algebra.dim()) + ")";
    return PyUnicode_FromString(text.c_str());
}

Py_ssize_t algebra_length(PyObject* self) { return static_cast<Py_ssize_t>(as_algebra(self)->algebra->size()); }

PyObject* algebra_dim(PyObject* self, void*) { return PyLong_FromSize_t(as_algebra(self)->algebra->dim()); }

PyObject* algebra_basis(PyObject* self, void*) {
    return entry_guard([&] { return basis_matrices(self); });
}

PyObject* algebra_reduce(PyObject* self, PyObject*) {
    return entry_guard([&] {
        const PyRef basis = basis_matrices(self);
        return checked(Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), basis.get()));
    });
}

// (index, value), or the dense n x n x n array.
PyObject* tensor(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                 const PairTensor& (Algebra::*which)() const) {
    return entry_guard([&] {
        static const char* keywords[] = {"dense", nullptr};
        int dense = 0;
        const std::string format = std::string("|p:") + name;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &dense))
            throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = as_algebra(self)->algebra;
        const PairTensor& values = ((*algebra).*which)();
        const std::size_t n = algebra->size();
        if (dense) {
            PyRef array = new_complex_array({}, {n, n, n}, "the dense tensor", true);
            const ReleasedGil released;
            values.write_dense(static_cast<Complex*>(array_data(array)));
            return array;
        }
        const std::size_t entries = values.full_size();
        // The index takes half as much again as the values, which new_complex_array weighs alone.
        require_bytes(checked_product({entries, 3 * sizeof(std::int64_t) + sizeof(Complex)}),
                      "the tensor's index and values");
        PyRef index = new_index_array(entries);
        PyRef value = new_complex_array({entries}, {}, "the tensor values");
        {
            const ReleasedGil released;
            values.write_entries(static_cast<std::int64_t*>(array_data(index)),
                                 static_cast<Complex*>(array_data(value)));
        }
        return checked(PyTuple_Pack(2, index.get(), value.get()));
    });
}

PyObject* algebra_structure_constants(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tensor(self, args, kwargs, "structure_constants", &Algebra::structure_constants);
}

PyObject* algebra_d_coefficients(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tensor(self, args, kwargs, "d_coefficients", &Algebra::d_coefficients);
}

// Copies of the array arguments, kept by each thread from call to call so
// that a batch costs no fresh pages; a copy larger than this is let go.
constexpr std::size_t kept_scratch_bytes = std::size_t{1} << 26;

class Scratch {
public:
    explicit Scratch(int slot) : buffer_(buffers()[slot]) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        if (buffer_.capacity() * sizeof(double) > kept_scratch_bytes) std::vector<double>().swap(buffer_);
    }
    std::vector<double>& buffer() { return buffer_; }

private:
    static std::vector<double>* buffers() {
        thread_local std::vector<double> kept[2];
        return kept;
    }
    std::vector<double>& buffer_;
};

CoefficientRows rows_of(const Operand& operand, Scratch& scratch, const std::vector<std::size_t>& rows) {
    return {operand.copy_to(scratch.buffer()), operand.complex, rows.data()};
}

std::size_t count_of(const std::vector<std::size_t>& shape) {
    std::size_t count = 1;
    for (const std::size_t extent : shape) count *= extent;
    return count;
}

// bracket and anticommutator: (a, b) to coefficients.
PyObject* pair_product(PyObject* self, PyObject* args, const char* format,
                       void (*product)(const Algebra&, CoefficientRows, CoefficientRows, std::size_t, Complex*)) {
    return entry_guard([&] {
        PyObject *a = nullptr, *b = nullptr;
        if (!PyArg_ParseTuple(args, format, &a, &b)) throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = as_algebra(self)->algebra;
        const std::size_t n = algebra->size();
        const Operand oa = coefficient_operand("a", a, n), ob = coefficient_operand("b", b, n);
        const std::vector<std::size_t> shape = broadcast_batch("a", oa, "b", ob);
        require_result_and_copies(shape, {n}, {&oa, &ob});
        PyRef result = new_complex_array(shape, {n}, "the result");  // refused first if it cannot fit
        const std::vector<std::size_t> rows_a = broadcast_rows(oa, shape), rows_b = broadcast_rows(ob, shape);
        Scratch scratch_a(0), scratch_b(1);
        const CoefficientRows a_rows = rows_of(oa, scratch_a, rows_a), b_rows = rows_of(ob, scratch_b, rows_b);
        const ReleasedGil released;
        product(*algebra, a_rows, b_rows, count_of(shape), static_cast<Complex*>(array_data(result)));
        return result;
    });
}

PyObject* algebra_bracket(PyObject* self, PyObject* args) { return pair_product(self, args, "OO:bracket", bracket); }

PyObject* algebra_anticommutator(PyObject* self, PyObject* args) {
    return pair_product(self, args, "OO:anticommutator", anticommutator);
}

// adjoint and matrix: a to one array per coefficient vector.
PyObject* single_product(PyObject* self, PyObject* args, const char* format, bool square_of_n,
                         void (*product)(const Algebra&, CoefficientRows, std::size_t, Complex*)) {
    return entry_guard([&] {
        PyObject* a = nullptr;
        if (!PyArg_ParseTuple(args, format, &a)) throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = as_algebra(self)->algebra;
        const std::size_t n = algebra->size(), side = square_of_n ? n : algebra->dim();
        const Operand oa = coefficient_operand("a", a, n);
        require_result_and_copies(oa.batch, {side, side}, {&oa});
        PyRef result = new_complex_array(oa.batch, {side, side}, "the result");
        const std::vector<std::size_t> rows = broadcast_rows(oa, oa.batch);
        Scratch scratch(0);
        const CoefficientRows a_rows = rows_of(oa, scratch, rows);
        const ReleasedGil released;
        product(*algebra, a_rows, count_of(oa.batch), static_cast<Complex*>(array_data(result)));
        return result;
    });
}

PyObject* algebra_adjoint(PyObject* self, PyObject* args) {
    return single_product(self, args, "O:adjoint", true, adjoint);
}

PyObject* algebra_matrix(PyObject* self, PyObject* args) {
    return single_product(self, args, "O:matrix", false, matrices);
}

// The items of m when it is a list or tuple of scipy.sparse matrices, as a
// tuple that Python code run later cannot change; none when it holds none.
std::optional<PyRef> sparse_items(PyObject* m) {
    if (!PyList_Check(m) && !PyTuple_Check(m)) return std::nullopt;
    PyRef items = checked(PySequence_Tuple(m));
    Py_ssize_t sparse = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        sparse += is_sparse_matrix(PyTuple_GET_ITEM(items.get(), i)) ? 1 : 0;
    if (sparse == 0) return std::nullopt;
    if (sparse < PyTuple_GET_SIZE(items.get())) {
        throw PendingError(PyExc_TypeError,
                           "m mixes scipy.sparse matrices with other items: pass a sequence of scipy.sparse "
                           "matrices, or an array of shape (..., d, d)");
    }
    return items;
}

// The coefficients of scipy.sparse matrices, each projected from its entries:
// `matrices` named `names[t]`, the result of shape `batch` + (n,).
PyRef sparse_coefficients(const Algebra& algebra, const std::vector<PyObject*>& matrices,
                          const std::vector<std::string>& names, const std::vector<std::size_t>& batch) {
    const std::size_t d = algebra.dim();
    SparseColumns entries(d * d);
    for (std::size_t t = 0; t < matrices.size(); ++t) {
        const std::vector<npy_intp> shape = sparse_shape(matrices[t]);
        if (shape.size() != 2 || static_cast<std::size_t>(shape[0]) != d || static_cast<std::size_t>(shape[1]) != d) {
            throw PendingError(PyExc_ValueError,
                               names[t] + " has shape " + shape_text(static_cast<int>(shape.size()), shape.data()) +
                                   " but the algebra's matrices are " + std::to_string(d) + " x " + std::to_string(d));
        }
        append_sparse_matrix(matrices[t], names[t], t, d, entries, false);  // NaN propagates, as in dense matrices
    }
    PyRef result = new_complex_array(batch, {algebra.size()}, "the result");
    const ReleasedGil released;
    algebra.project(entries, static_cast<Complex*>(array_data(result)));
    return result;
}

PyObject* algebra_coefficients(PyObject* self, PyObject* args) {
    return entry_guard([&] {
        PyObject* m = nullptr;
        if (!PyArg_ParseTuple(args, "O:coefficients", &m)) throw fetch_error();
        const std::shared_ptr<const Algebra> algebra = as_algebra(self)->algebra;
        if (is_sparse_matrix(m)) return sparse_coefficients(*algebra, {m}, {"m"}, {});
        if (const std::optional<PyRef> items = sparse_items(m)) {
            const Py_ssize_t count = PyTuple_GET_SIZE(items->get());
            std::vector<PyObject*> matrices;
            std::vector<std::string> names;
            for (Py_ssize_t t = 0; t < count; ++t) {
                matrices.push_back(PyTuple_GET_ITEM(items->get(), t));
                names.push_back("m[" + std::to_string(t) + "]");
            }
            return sparse_coefficients(*algebra, matrices, names, {static_cast<std::size_t>(count)});
        }
        const Operand om = matrix_operand("m", m, algebra->dim());
        require_result_and_copies(om.batch, {algebra->size()}, {&om});
        PyRef result = new_complex_array(om.batch, {algebra->size()}, "the result");
        Scratch scratch(0);
        const auto* matrices = reinterpret_cast<const Complex*>(om.copy_to(scratch.buffer()));
        const ReleasedGil released;
        coefficients(*algebra, matrices, count_of(om.batch), static_cast<Complex*>(array_data(result)));
        return result;
    });
}

const PyMethodDef algebra_methods[] = {
    {"structure_constants", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(algebra_structure_constants)),
     METH_VARARGS | METH_KEYWORDS,
     "structure_constants($self, /, dense=False)\n--\n\n"
     "Every non-negligible coefficient of B_k in [B_i, B_j], as (index, value):\n"
     "index an int64 array of rows (i, j, k) in increasing order, value the\n"
     "complex128 coefficients. With dense=True, the n x n x n array T instead."},
    {"d_coefficients", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(algebra_d_coefficients)),
     METH_VARARGS | METH_KEYWORDS,
     "d_coefficients($self, /, dense=False)\n--\n\n"
     "Half of every non-negligible coefficient of B_k in {B_i, B_j}, as\n"
     "(index, value) like structure_constants(), or the dense array."},
    {"bracket", algebra_bracket, METH_VARARGS,
     "bracket($self, a, b, /)\n--\n\n"
     "The coefficients of [A, B], A = sum a_i B_i: a and b of shape (..., n),\n"
     "broadcast together; a scipy.sparse batch is taken in its dense form."},
    {"anticommutator", algebra_anticommutator, METH_VARARGS,
     "anticommutator($self, a, b, /)\n--\n\n"
     "The least-squares coefficients of {A, B}, A = sum a_i B_i: a and b of\n"
     "shape (..., n), broadcast together; a scipy.sparse batch is taken in its\n"
     "dense form."},
    {"adjoint", algebra_adjoint, METH_VARARGS,
     "adjoint($self, a, /)\n--\n\n"
     "The matrices ad(A) of shape (..., n, n): ad(A) @ b is bracket(a, b)."},
    {"coefficients", algebra_coefficients, METH_VARARGS,
     "coefficients($self, m, /)\n--\n\n"
     "The minimum-norm least-squares coefficients of matrices of shape (..., d, d),\n"
     "of one d x d scipy.sparse matrix (shape (n,)), or of a sequence of them\n"
     "(shape (count, n))."},
    {"matrix", algebra_matrix, METH_VARARGS,
     "matrix($self, a, /)\n--\n\n"
     "The matrices sum a_i B_i of coefficient arrays of shape (..., n)."},
    {"__reduce__", algebra_reduce, METH_NOARGS, nullptr},
};

// The method table: the products, then open-system dynamics, then the sentinel.
PyMethodDef* method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> methods(std::begin(algebra_methods), std::end(algebra_methods));
        for (const PyMethodDef& method : dynamics_methods()) methods.push_back(method);
        methods.push_back({nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return table.data();
}

PyGetSetDef algebra_getset[] = {
    {"dim", algebra_dim, nullptr, "The matrix size d.", nullptr},
    {"basis", algebra_basis, nullptr,
     "A copy of the basis matrices: a read-only array of shape (n, d, d), or, for a\n"
     "basis given as scipy.sparse matrices, a list of CSR arrays.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods algebra_sequence = {algebra_length, nullptr, nullptr, nullptr, nullptr,
                                      nullptr,        nullptr, nullptr, nullptr, nullptr};

PyTypeObject algebra_type = [] {
// The header macro names only the leading members; the rest start as zeros.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    type.tp_name = "zenqa.Algebra";
    type.tp_basicsize = sizeof(AlgebraObject);
    type.tp_dealloc = algebra_dealloc;
    type.tp_repr = algebra_repr;
    type.tp_as_sequence = &algebra_sequence;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "Algebra(basis)\n--\n\n"
        "The algebra spanned by a basis of d x d matrices, every product of two\n"
        "basis elements decomposed once in the basis (minimum-norm least squares,\n"
        "coefficients whose real and imaginary parts are both at most 1e-8 in\n"
        "modulus dropped). Immutable.";
    type.tp_methods = method_table();
    type.tp_getset = algebra_getset;
    type.tp_new = algebra_new;
    return type;
}();

}  // namespace

std::shared_ptr<const Algebra> algebra_of(PyObject* self) { return as_algebra(self)->algebra; }

void add_algebra_type(PyObject* module) {
    if (PyType_Ready(&algebra_type) < 0) throw fetch_error();
    if (PyObject_SetAttrString(module, "Algebra", reinterpret_cast<PyObject*>(&algebra_type)) < 0) throw fetch_error();
}

}  // namespace zenqa
