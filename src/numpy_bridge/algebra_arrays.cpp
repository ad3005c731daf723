#include "numpy_bridge/algebra_arrays.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/basis_forms/basis_columns.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"
#include "numpy_bridge/numpy.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "numpy_bridge/sparse_matrices.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

PyArrayObject* as_array(const PyRef& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

// Dense matrices are scanned together in batches of about 16 MiB: each is
// enough to share over the threads, and its cast copies stay small against
// the basis. A batch holds at most so many arrays, which a sequence of tiny
// matrices may have converted each on its own.
constexpr std::size_t batch_values = std::size_t{1} << 20;
constexpr std::size_t batch_arrays = std::size_t{1} << 12;

// Dense matrices, d x d, waiting to be scanned together into the basis
// columns, as the next ones after those already there. Each is read in
// place, its array held until the scan, or from a cast copy in a buffer that
// later batches reuse.
class PendingMatrices {
public:
    // Whether `values` more fit in this batch; a batch takes at least one array.
    bool has_room_for(std::size_t values) const {
        return arrays_.empty() || (pending_values_ + values <= batch_values && arrays_.size() < batch_arrays);
    }

    // Adds the matrices of `array`, whose values cast safely to complex128,
    // one after another.
    void add(const PyRef& array, std::size_t d) {
        PyArrayObject* source = as_array(array);
        const auto size = static_cast<std::size_t>(PyArray_SIZE(source));
        const Complex* values = static_cast<const Complex*>(PyArray_DATA(source));
        if (PyArray_TYPE(source) != NPY_CDOUBLE || !PyArray_ISCARRAY_RO(source)) {
            // Room for the whole batch at once, so that earlier copies stay where they are.
            copies_.reserve(std::max(batch_values, copies_.size() + size));
            copies_.resize(copies_.size() + size);
            cast_into(array, copies_.data() + copies_.size() - size);
            values = copies_.data() + copies_.size() - size;
        }
        for (std::size_t q = 0; q < size / (d * d); ++q) matrices_.push_back(values + q * d * d);
        arrays_.push_back(PyRef::borrow(array.get()));
        pending_values_ += size;
    }

    // Scans them into the basis columns over the threads, refusing non-finite
    // values in order, and empties the batch.
    void scan_into(BasisValues& basis, TeamOnDemand& threads) {
        const std::size_t first = basis.columns.cols();
        append_dense_columns(basis.columns, matrices_, threads);
        matrices_.clear();
        arrays_.clear();
        copies_.clear();
        pending_values_ = 0;
        // NaN and infinities are nonzero: the stored entries hold them all, in
        // order, so the input is read once.
        for (std::size_t k = first; k < basis.columns.cols(); ++k)
            basis.columns.for_each_nonzero(k,
                                           [&](std::size_t p, Complex v) { require_finite_entry(v, k, p, basis.d); });
    }

private:
    std::vector<const Complex*> matrices_;
    std::vector<PyRef> arrays_;
    std::vector<Complex> copies_;
    std::size_t pending_values_ = 0;
};

BasisValues basis_from_stack(const PyRef& stack) {
    PyArrayObject* array = as_array(stack);
    if (PyArray_NDIM(array) != 3 || PyArray_DIM(array, 1) != PyArray_DIM(array, 2))
        value_error("basis has shape " + shape_of(stack) + " but must have shape (n, d, d)");
    const std::size_t n = static_cast<std::size_t>(PyArray_DIM(array, 0));
    BasisValues basis;
    basis.d = static_cast<std::size_t>(PyArray_DIM(array, 1));
    if (n == 0 || basis.d == 0) value_error("basis has shape " + shape_of(stack) + ": it holds no matrix entries");
    require_bytes(checked_product({n, basis.d, basis.d, sizeof(Complex)}), "copying the basis");
    basis.columns = SparseColumns(basis.d * basis.d);
    // In slices of a batch each, so that a cast copy of the whole is never made.
    const std::size_t step = std::max<std::size_t>(1, batch_values / (basis.d * basis.d));
    const PyRef plain = checked(PyArray_FromArray(array, nullptr, NPY_ARRAY_ENSUREARRAY));
    PendingMatrices pending;
    TeamOnDemand threads;
    for (std::size_t first = 0; first < n; first += step) {
        const std::size_t count = std::min(step, n - first);
        pending.add(checked(PySequence_GetSlice(plain.get(), static_cast<Py_ssize_t>(first),
                                                static_cast<Py_ssize_t>(first + count))),
                    basis.d);
        pending.scan_into(basis, threads);
    }
    return basis;
}

// The shape of basis[i] against basis[0]'s: the first fixes d and the
// columns, each later one must have it.
void take_shape(BasisValues& basis, std::size_t i, const std::string& name, const std::vector<npy_intp>& shape) {
    if (i == 0) {
        if (shape.size() != 2 || shape[0] != shape[1] || shape[0] == 0)
            value_error(name + " has shape " + shape_text(static_cast<int>(shape.size()), shape.data()) +
                        " but must be a d x d matrix, d >= 1");
        basis.d = static_cast<std::size_t>(shape[0]);
        basis.columns = SparseColumns(basis.d * basis.d);
    } else if (shape.size() != 2 || static_cast<std::size_t>(shape[0]) != basis.d ||
               static_cast<std::size_t>(shape[1]) != basis.d) {
        const npy_intp first[2] = {static_cast<npy_intp>(basis.d), static_cast<npy_intp>(basis.d)};
        value_error(name + " has shape " + shape_text(static_cast<int>(shape.size()), shape.data()) +
                    " but basis[0] has shape " + shape_text(2, first));
    }
}

// The entries a basis of scipy.sparse matrices stores in all (duplicates and
// zeros included: room enough for its columns), or 0 when some matrix is dense.
std::size_t stored_entries(const PyRef& items) {
    std::size_t stored = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!is_sparse_matrix(item)) return 0;
        const PyRef nnz = checked(PyObject_GetAttrString(item, "nnz"));
        const std::size_t count = PyLong_AsSize_t(nnz.get());
        if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw fetch_error();
        stored += count;
    }
    return stored;
}

// basis[i], a dense matrix, into `pending`; the earlier ones are scanned
// first where it does not fit.
void take_dense_matrix(BasisValues& basis, std::size_t i, std::size_t n, PyObject* item, PendingMatrices& pending,
                       TeamOnDemand& threads) {
    const std::string name = "basis[" + std::to_string(i) + "]";
    PyRef matrix = any_array(name, item);
    PyArrayObject* array = as_array(matrix);
    take_shape(basis, i, name, std::vector<npy_intp>(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array)));
    if (i == 0) require_bytes(checked_product({n, basis.d, basis.d, sizeof(Complex)}), "copying the basis");
    require_complex(matrix, name);
    if (!pending.has_room_for(basis.d * basis.d)) pending.scan_into(basis, threads);
    pending.add(matrix, basis.d);
}

BasisValues basis_from_sequence(PyObject* object) {
    // A tuple of the items, which Python code run by the conversion cannot change.
    const PyRef items = checked(PySequence_Tuple(object));
    const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    if (n == 0) value_error("basis is empty");
    BasisValues basis;
    PendingMatrices pending;
    TeamOnDemand threads;
    const std::size_t stored = stored_entries(items);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        try {
            if (!is_sparse_matrix(item)) {
                take_dense_matrix(basis, i, n, item, pending, threads);
                continue;
            }
            pending.scan_into(basis, threads);
            const std::string name = "basis[" + std::to_string(i) + "]";
            take_shape(basis, i, name, sparse_shape(item));
            if (i == 0) basis.columns.reserve(std::min(stored, n * basis.d * basis.d));
            // A dense basis this large is refused for its memory first.
            if (basis.d > max_sparse_dimension)
                value_error(name + " is " + std::to_string(basis.d) + " x " + std::to_string(basis.d) +
                            " but sparse matrices may be at most " + std::to_string(max_sparse_dimension) + " x " +
                            std::to_string(max_sparse_dimension));
            append_sparse_matrix(item, name, i, basis.d, basis.columns, true);
            basis.sparse = true;
        } catch (...) {
            // A fault of an earlier matrix is the one to report.
            pending.scan_into(basis, threads);
            throw;
        }
    }
    pending.scan_into(basis, threads);
    return basis;
}

Operand operand(const char* name, PyObject* object, std::size_t core, const npy_intp* core_shape,
                const std::string& core_text, bool real_allowed) {
    // Whether a shape ends in the core shape.
    const auto fits = [&](int ndim, const npy_intp* dims) {
        return ndim >= static_cast<int>(core) && std::equal(core_shape, core_shape + core, dims + ndim - core);
    };
    const auto refuse_shape = [&](const std::string& shape) {
        value_error(std::string(name) + " has shape " + shape + " but " + core_text);
    };
    // A scipy.sparse batch, by its shape before its dense form is made.
    const bool sparse = is_sparse_matrix(object);
    if (sparse) {
        const std::vector<npy_intp> extents = sparse_shape(object);
        const int ndim = static_cast<int>(extents.size());
        if (!fits(ndim, extents.data())) refuse_shape(shape_text(ndim, extents.data()));
    }
    const PyRef array = sparse ? dense_form(name, object) : any_array(name, object);
    const bool complex = !real_allowed || PyTypeNum_ISCOMPLEX(PyArray_TYPE(as_array(array)));
    const int type_number = complex ? NPY_CDOUBLE : NPY_DOUBLE;
    if (!casts_safely(array, type_number)) {
        throw PendingError(PyExc_TypeError, std::string(name) + " has dtype " + dtype_of(array) +
                                                ", which does not cast safely to " +
                                                (complex ? "complex128" : "float64 or complex128"));
    }
    PyArrayObject* view = as_array(array);
    const int ndim = PyArray_NDIM(view);
    if (!fits(ndim, PyArray_DIMS(view))) refuse_shape(shape_of(array));
    Operand result;
    result.complex = complex;
    for (int axis = 0; axis < ndim - static_cast<int>(core); ++axis)
        result.batch.push_back(static_cast<std::size_t>(PyArray_DIM(view, axis)));
    require_bytes(checked_product({static_cast<std::uint64_t>(PyArray_SIZE(view)), sizeof(Complex)}),
                  std::string("copying ") + name);
    result.array = PyRef::borrow(array.get());
    result.shape.assign(PyArray_DIMS(view), PyArray_DIMS(view) + ndim);
    return result;
}

// The bytes of a complex128 array of shape batch + tail; nothing where they
// pass what an array can hold.
std::optional<std::uint64_t> complex_array_bytes(const std::vector<std::size_t>& batch,
                                                 std::initializer_list<std::size_t> tail) {
    std::optional<std::uint64_t> bytes = sizeof(Complex);
    for (const std::size_t extent : batch)
        if (bytes) bytes = checked_product({*bytes, extent});
    for (const std::size_t extent : tail)
        if (bytes) bytes = checked_product({*bytes, extent});
    if (bytes && *bytes > static_cast<std::uint64_t>(PTRDIFF_MAX)) bytes.reset();
    return bytes;
}

}  // namespace

std::string shape_of(const PyRef& array) {
    return shape_text(PyArray_NDIM(as_array(array)), PyArray_DIMS(as_array(array)));
}

std::string dtype_of(const PyRef& array) {
    const PyRef text = checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(as_array(array)))));
    const char* data = PyUnicode_AsUTF8(text.get());
    if (data == nullptr) throw fetch_error();
    return data;
}

[[noreturn]] void value_error(const std::string& message) { throw PendingError(PyExc_ValueError, message); }

PyRef any_array(const std::string& name, PyObject* object) {
    require_numpy();
    try {
        return checked(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    } catch (PendingError& error) {
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_ValueError)) throw;
        value_error(name + " is not an array of numbers: " + error.message());
    }
}

bool casts_safely(const PyRef& array, int type_number) {
    PyArray_Descr* to = PyArray_DescrFromType(type_number);
    const bool safe = PyArray_CanCastTypeTo(PyArray_DESCR(as_array(array)), to, NPY_SAFE_CASTING);
    Py_DECREF(to);
    return safe;
}

void require_bytes(std::optional<std::uint64_t> bytes, const std::string& what) {
    require_memory(bytes, [&] { return what; });
}

std::string shape_text(int ndim, const npy_intp* dims) {
    std::string text = "(";
    for (int axis = 0; axis < ndim; ++axis) text += (axis ? ", " : "") + std::to_string(dims[axis]);
    return text + (ndim == 1 ? ",)" : ")");
}

void require_complex(const PyRef& array, const std::string& name) {
    if (!casts_safely(array, NPY_CDOUBLE))
        throw PendingError(PyExc_TypeError,
                           name + " has dtype " + dtype_of(array) + ", which does not cast safely to complex128");
}

// The values of `array` as complex128 in C order: read in place when it
// holds them so (contiguous, aligned, in native byte order), otherwise cast
// into `buffer`.
const Complex* complex_values(const PyRef& array, std::vector<Complex>& buffer) {
    PyArrayObject* source = as_array(array);
    if (PyArray_TYPE(source) == NPY_CDOUBLE && PyArray_ISCARRAY_RO(source))
        return static_cast<const Complex*>(PyArray_DATA(source));
    buffer.resize(static_cast<std::size_t>(PyArray_SIZE(source)));
    cast_into(array, buffer.data());
    return buffer.data();
}

void cast_into(const PyRef& array, Complex* target) {
    PyArrayObject* source = as_array(array);
    const PyRef copy =
        checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_CDOUBLE), PyArray_NDIM(source),
                                     PyArray_DIMS(source), nullptr, target, NPY_ARRAY_CARRAY, nullptr));
    if (PyArray_CopyInto(as_array(copy), source) < 0) throw fetch_error();
}

const double* Operand::copy_to(std::vector<double>& buffer) const {
    std::size_t size = 1;
    for (const npy_intp extent : shape) size *= static_cast<std::size_t>(extent);
    buffer.resize(size * (complex ? 2 : 1));
    const PyRef target = checked(PyArray_NewFromDescr(
        &PyArray_Type, PyArray_DescrFromType(complex ? NPY_CDOUBLE : NPY_DOUBLE), static_cast<int>(shape.size()),
        const_cast<npy_intp*>(shape.data()), nullptr, buffer.data(), NPY_ARRAY_CARRAY, nullptr));
    if (PyArray_CopyInto(as_array(target), as_array(array)) < 0) throw fetch_error();
    return buffer.data();
}

BasisValues basis_values(PyObject* object) {
    require_numpy();
    if (is_numpy_array(object)) {
        const PyRef stack = PyRef::borrow(object);
        require_complex(stack, "basis");
        return basis_from_stack(stack);
    }
    if (!PySequence_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object) || is_sparse_matrix(object)) {
        throw PendingError(
            PyExc_TypeError,
            std::string("basis must be a sequence of d x d matrices or an array of shape (n, d, d), not ") +
                Py_TYPE(object)->tp_name);
    }
    return basis_from_sequence(object);
}

Operand coefficient_operand(const char* name, PyObject* object, std::size_t n) {
    const npy_intp core[] = {static_cast<npy_intp>(n)};
    return operand(name, object, 1, core, "the algebra has " + std::to_string(n) + " elements", true);
}

Operand matrix_operand(const char* name, PyObject* object, std::size_t d) {
    const npy_intp core[] = {static_cast<npy_intp>(d), static_cast<npy_intp>(d)};
    const std::string size = std::to_string(d);
    return operand(name, object, 2, core, "the algebra's matrices are " + size + " x " + size, false);
}

std::vector<std::size_t> broadcast_batch(const char* name_a, const Operand& a, const char* name_b, const Operand& b) {
    const std::size_t ndim = std::max(a.batch.size(), b.batch.size());
    std::vector<std::size_t> shape(ndim);
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const auto extent = [&](const Operand& x) {
            const std::size_t lead = ndim - x.batch.size();
            return axis < lead ? std::size_t{1} : x.batch[axis - lead];
        };
        const std::size_t ea = extent(a), eb = extent(b);
        if (ea != eb && ea != 1 && eb != 1) {
            value_error(std::string(name_a) + " and " + name_b + " have shapes " + shape_of(a.array) + " and " +
                        shape_of(b.array) + ", which do not broadcast");
        }
        shape[axis] = ea == 1 ? eb : ea;
    }
    return shape;
}

std::vector<std::size_t> broadcast_rows(const Operand& operand, const std::vector<std::size_t>& shape) {
    std::size_t count = 1;
    for (const std::size_t extent : shape) count *= extent;
    // Row strides of the operand along the broadcast axes; 0 where it is stretched.
    const std::size_t lead = shape.size() - operand.batch.size();
    std::vector<std::size_t> strides(shape.size(), 0);
    std::size_t stride = 1;
    for (std::size_t axis = shape.size(); axis-- > lead;) {
        const std::size_t extent = operand.batch[axis - lead];
        strides[axis] = extent == 1 ? 0 : stride;
        stride *= extent;
    }
    std::vector<std::size_t> rows(count), position(shape.size(), 0);
    std::size_t row = 0;
    for (std::size_t v = 0; v < count; ++v) {
        rows[v] = row;
        for (std::size_t axis = shape.size(); axis-- > 0;) {  // the next position in C order
            row += strides[axis];
            if (++position[axis] < shape[axis]) break;
            row -= strides[axis] * shape[axis];
            position[axis] = 0;
        }
    }
    return rows;
}

void require_result_and_copies(const std::vector<std::size_t>& batch, std::initializer_list<std::size_t> tail,
                               std::initializer_list<const Operand*> operands) {
    std::optional<std::uint64_t> bytes = complex_array_bytes(batch, tail);
    for (const Operand* operand : operands) {
        // An operand is an array already: its copy's size fits 64 bits.
        std::uint64_t copy = operand->complex ? sizeof(Complex) : sizeof(double);
        for (const npy_intp extent : operand->shape) copy *= static_cast<std::uint64_t>(extent);
        if (bytes && __builtin_add_overflow(*bytes, copy, &*bytes)) bytes.reset();
    }
    require_bytes(bytes, "the result with the copies of the arguments");
}

PyRef new_complex_array(const std::vector<std::size_t>& batch, std::initializer_list<std::size_t> tail,
                        const char* what, bool zeroed) {
    require_numpy();
    require_bytes(complex_array_bytes(batch, tail), what);
    std::vector<npy_intp> dims(batch.begin(), batch.end());
    dims.insert(dims.end(), tail.begin(), tail.end());
    const int ndim = static_cast<int>(dims.size());
    return checked(zeroed ? PyArray_ZEROS(ndim, dims.data(), NPY_CDOUBLE, 0)
                          : PyArray_SimpleNew(ndim, dims.data(), NPY_CDOUBLE));
}

PyRef new_index_array(std::size_t rows) {
    require_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), 3};
    return checked(PyArray_SimpleNew(2, dims, NPY_INT64));
}

void* array_data(const PyRef& array) { return PyArray_DATA(as_array(array)); }

void make_read_only(const PyRef& array) { PyArray_CLEARFLAGS(as_array(array), NPY_ARRAY_WRITEABLE); }

}  // namespace zenqa
