#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// These texts are the module's published error vocabulary: callers match on them, byte for byte.
// Foreign as some look (Kelm, Corv, ShapeError, Complex64 for complex128), each is deliberate.
namespace zenqa::published {

// The exception class of internal faults, and its module's name.
inline constexpr char panic_class[] = "kelm_runtime.PanicException";
// An internal fault that carries no text of its own.
inline constexpr char anonymous_panic[] = "panic from Corv code";
// A PanicException raised by Python code without a text, and the banner of resuming one.
inline constexpr char unwrapped_python_panic[] = "Unwrapped panic from Python code";
inline constexpr char resumed_panic_banner[] =
    "--- Kelm is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// The module's attributes: __all__ lists "__doc__" ahead of the functions.
inline constexpr char doc_attribute[] = "__doc__";
inline constexpr char export_list_failed[] = "could not append __name__ to __all__: ";

// Argument-matching messages open with the name of the function's internal entry.
inline constexpr char gen_sylvester_entry[] = "gen_sylvester_py()";
inline constexpr char gen_gellmann_entry[] = "gen_gellmann_py()";
inline constexpr char get_structure_constants_entry[] = "get_structure_constants_py()";
inline constexpr char get_d_coefficients_entry[] = "get_d_coefficients_py()";
inline constexpr char su_commutator_entry[] = "su_commutator_py()";
inline constexpr char cross_entry[] = "cross_py()";
inline constexpr char dot_entry[] = "dot_py()";

inline std::string multiple_values(std::string_view entry, std::string_view parameter) {
    return std::string(entry) + " got multiple values for argument: " + std::string(parameter);
}
inline std::string missing_argument(std::string_view entry, std::string_view parameter) {
    return std::string(entry) + " missing required positional argument: " + std::string(parameter);
}
inline std::string unexpected_keyword(std::string_view entry, std::string_view keyword) {
    return std::string(entry) + " got an unexpected keyword argument: " + std::string(keyword);
}
inline std::string too_many_positional(std::string_view entry, std::size_t accepted, std::size_t given) {
    return std::string(entry) + " takes at most " + std::to_string(accepted) + " positional argument" +
           (accepted == 1 ? "" : "s") + " (" + std::to_string(given) + " given)";
}
// The TypeError of converting one argument, prefixed to the conversion's own text.
inline std::string argument_failed(std::string_view parameter, std::string_view error) {
    return "argument '" + std::string(parameter) + "': " + std::string(error);
}

// TypeError "'{type}' object cannot be converted to '{target}'", with these targets.
inline std::string not_convertible(std::string_view type_name, std::string_view target) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a literal + std::string chain here.
    std::string message = "'";
    message.append(type_name).append("' object cannot be converted to '").append(target).append("'");
    return message;
}
inline constexpr char array_target[] = "PyArray<T, D>";
inline constexpr char sequence_target[] = "Sequence";
inline constexpr char dict_target[] = "PyDict";
inline constexpr char tuple_target[] = "PyTuple";
inline constexpr char list_target[] = "PyList";
inline constexpr char string_target[] = "PyString";

inline std::string wrong_tuple_length(std::size_t expected, std::size_t given) {
    return "Expected tuple of length " + std::to_string(expected) + ", but got tuple of length " +
           std::to_string(given) + ".";
}
inline constexpr char dict_changed_size[] = "dictionary changed size during iteration";

// NumPy element types as messages name them: a complex type by the width of one part, so that
// NumPy's complex128 is "Complex64" and complex64 is "Complex32".
namespace element_type {
inline constexpr char bool_[] = "Bool";
inline constexpr char int8[] = "Int8";
inline constexpr char uint8[] = "Uint8";
inline constexpr char int16[] = "Int16";
inline constexpr char uint16[] = "Uint16";
inline constexpr char int32[] = "Int32";
inline constexpr char uint32[] = "Uint32";
inline constexpr char int64[] = "Int64";
inline constexpr char uint64[] = "Uint64";
inline constexpr char float32[] = "Float32";
inline constexpr char float64[] = "Float64";
inline constexpr char complex32[] = "Complex32";
inline constexpr char complex64[] = "Complex64";
inline constexpr char object[] = "Object";
inline constexpr char unknown[] = "Unknown";
}  // namespace element_type

// TypeError for an array that is not two-dimensional complex128.
inline std::string shape_mismatch(int ndim, std::string_view element_type) {
    return "Shape Mismatch:\n from=(dim=" + std::to_string(ndim) + ", dtype=" + std::string(element_type) +
           "), to=(dim=2, dtype=" + element_type::complex64 + ")";
}

// Internal faults of the interface layers.
inline constexpr char numpy_missing[] = "Failed to import numpy module";
inline constexpr char numpy_api_missing[] = "Failed to get numpy capsule API";
inline constexpr char python_api_failed[] = "Python API call failed";
inline constexpr char dict_insert_failed[] = "Failed to set_item on dict";

// Internal faults of the computation. A value it needs is absent; a step failed with the error
// that follows the prefix.
inline constexpr char missing_value[] = "called `Option::unwrap()` on a `None` value";
inline constexpr char failed_step_prefix[] = "called `Result::unwrap()` on an `Err` value: ";
// The errors of such steps: operands whose shapes do not fit together, a matrix holding fewer
// elements than were to be read from it, and a failed LAPACK call.
inline constexpr char incompatible_shapes[] = "Shape(ShapeError/IncompatibleShape: incompatible shapes)";
inline constexpr char too_few_elements[] = "ShapeError/OutOfBounds: out of bounds indexing";
inline std::string lapack_invalid_value(int info) {
    return "Lapack(LapackInvalidValue { return_code: " + std::to_string(info) + " })";
}
inline std::string lapack_computational_failure(int info) {
    return "Lapack(LapackComputationalFailure { return_code: " + std::to_string(info) + " })";
}

// An empty basis, where its first matrix is needed.
inline constexpr char empty_basis[] = "index out of bounds: the len is 0 but the index is 0";

// Size faults of the arrays: a count beyond a signed 64-bit size, a byte count beyond it.
inline constexpr char shape_too_large[] = "Shape too large, product of non-zero axis lengths overflows isize";
inline constexpr char capacity_overflow[] = "capacity overflow";

inline std::string index_out_of_bounds(std::size_t i, std::size_t j, std::size_t rows, std::size_t cols) {
    return "index (" + std::to_string(i) + ", " + std::to_string(j) + ") out of bounds for shape (" +
           std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

// A shape in the matrix-product faults, with a multiplication sign.
inline std::string product_operand(std::size_t rows, std::size_t cols) {
    return std::to_string(rows) + " × " + std::to_string(cols);
}
inline std::string product_too_large(std::size_t rows, std::size_t cols) {
    return "shape " + product_operand(rows, cols) + " overflows isize";
}
inline std::string product_incompatible(std::size_t a_rows, std::size_t a_cols, std::size_t b_rows,
                                        std::size_t b_cols) {
    return "inputs " + product_operand(a_rows, a_cols) + " and " + product_operand(b_rows, b_cols) +
           " are not compatible for matrix multiplication";
}
inline std::string broadcast_failed(std::size_t from_rows, std::size_t from_cols, std::size_t to_rows,
                                    std::size_t to_cols) {
    return "could not broadcast array from shape: [" + std::to_string(from_rows) + ", " + std::to_string(from_cols) +
           "] to: [" + std::to_string(to_rows) + ", " + std::to_string(to_cols) + "]";
}

// The failed self-check of the Sylvester basis, Z X = w X Z, with the two sides rendered as
// rendered_matrix gives them from the rendered elements.
inline std::string sylvester_check_failed(std::string_view left, std::string_view right) {
    return "assert_abs_diff_eq!(z.dot(&x), w * x.dot(&z), epsilon = 1e-8)\n\n    left  = " + std::string(left) +
           "\n    right = " + std::string(right) + "\n\n";
}
inline std::string rendered_element(std::string_view re, std::string_view im) {
    return "Complex { re: " + std::string(re) + ", im: " + std::string(im) + " }";
}
inline std::string rendered_matrix_tail(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                                        std::ptrdiff_t col_stride, bool row_major) {
    return ", shape=[" + std::to_string(rows) + ", " + std::to_string(cols) + "], strides=[" +
           std::to_string(row_stride) + ", " + std::to_string(col_stride) + "], layout=" + (row_major ? "C" : "F") +
           ", const ndim=2";
}

}  // namespace zenqa::published
