#pragma once
// How arguments convert: the casters of the module's floats, ints, vectors, matrices and views
// of arrays, and the record of what they refused (name_conversion.cpp reports it by name).

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common.hpp"

// Casters for floats, vectors and matrices: pybind11's, with two refusals before anything is
// allocated or copied. Complex input is refused (as TypeError): the copy to double would drop
// the imaginary part with a ComplexWarning, and fail only where warnings are errors, so the
// outcome would depend on the warning filters. An array whose copy cannot fit in memory (a
// broadcast view, for example) raises MemoryError instead of being allocated and filled.
namespace pybind11::detail {

// What the casters converted in the current call, and the value they refused last with what it
// should have been; the module's calls report a refusal by argument name
// (name_conversion_failures below).
struct conversion_record {
  std::vector<PyObject*> loaded;
  PyObject* refused = nullptr;
  const char* expected = nullptr;
};
inline thread_local conversion_record conversions;

inline bool accept(handle src) {
  if (conversions.loaded.size() < 64) conversions.loaded.push_back(src.ptr());
  return true;
}

inline bool refuse(handle src, const char* expected) {
  conversions.refused = src.ptr();
  conversions.expected = expected;
  return false;
}

inline bool is_complex_scalar(handle src) {
  return PyComplex_Check(src.ptr()) ||
         isinstance(src, module_::import("numpy").attr("complexfloating"));
}

inline bool holds_complex(const array& buf) {
  if (buf.dtype().kind() == 'c') return true;
  if (buf.dtype().kind() != 'O') return false;
  for (const handle item : buf.attr("flat"))
    if (is_complex_scalar(item)) return true;
  return false;
}

template <>
struct type_caster<double> {
  PYBIND11_TYPE_CASTER(double, io_name("typing.SupportsFloat | typing.SupportsIndex", "float"));

  // Arrays other than 0-d ones are refused whatever NumPy's version: older ones convert a
  // one-element array, newer ones warn or refuse.
  bool load(handle src, bool convert) {
    constexpr const char* expected = "a real number";
    if (!src) return false;
    if (PyFloat_Check(src.ptr())) {
      value = PyFloat_AS_DOUBLE(src.ptr());
      return accept(src);
    }
    if (!PyLong_Check(src.ptr()) && (!convert || is_complex_scalar(src)))
      return refuse(src, expected);
    if (isinstance<array>(src)) {
      const auto a = reinterpret_borrow<array>(src);
      if (a.ndim() > 0 || a.dtype().kind() == 'c') return refuse(src, expected);
    }
    const double v = PyFloat_AsDouble(src.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return refuse(src, expected);
    }
    value = v;
    return accept(src);
  }

  static handle cast(double src, return_value_policy, handle) { return PyFloat_FromDouble(src); }
};

// Copies an aligned 2-D float64 array with arbitrary byte strides into column-major storage,
// in blocks of rows: each block of a row-major source stays in cache while its columns are
// written out, where an element-by-element transposition misses the cache on every read.
inline void copy_strided(const array& src, double* dst, ssize_t rows, ssize_t cols) {
  const auto* base = static_cast<const char*>(src.data());
  const ssize_t row_step = src.strides(0), col_step = src.strides(1);
  constexpr ssize_t block = 64;
  for (ssize_t i0 = 0; i0 < rows; i0 += block) {
    const ssize_t i1 = std::min(rows, i0 + block);
    for (ssize_t j = 0; j < cols; ++j) {
      const char* column = base + j * col_step;
      double* out = dst + j * rows;
      for (ssize_t i = i0; i < i1; ++i)
        out[i] = *reinterpret_cast<const double*>(column + i * row_step);
    }
  }
}

template <typename Type>
struct checked_dense_caster {
  using props = EigenProps<Type>;
  PYBIND11_TYPE_CASTER(Type, props::descriptor);

  static constexpr const char* expected =
      std::is_same_v<Type, dorv::Vector>
          ? "a 1-D array of real numbers (or an (n, 1) column)"
          : "a 2-D array of real numbers (or a 1-D one, read as a column)";

  bool load(handle src, bool convert) {
    if (!convert && !isinstance<array_t<double>>(src)) return refuse(src, expected);
    auto buf = array::ensure(src);
    if (!buf || buf.ndim() < 1 || buf.ndim() > 2) return refuse(src, expected);
    const auto fits = props::conformable(buf);
    if (!fits) return refuse(src, expected);
    dorv::require_doubles(static_cast<double>(fits.rows) * static_cast<double>(fits.cols));
    if (holds_complex(buf)) return refuse(src, expected);
    value = Type(fits.rows, fits.cols);
    dorv::advise_huge_pages(value.data(), value.size());
    if (buf.ndim() == 2 && !(buf.flags() & npy_api::NPY_ARRAY_F_CONTIGUOUS_) &&
        (buf.flags() & npy_api::NPY_ARRAY_ALIGNED_) && isinstance<array_t<double>>(buf)) {
      copy_strided(buf, value.data(), fits.rows, fits.cols);
      return accept(src);
    }
    auto ref = reinterpret_steal<array>(eigen_ref_array<props>(value));
    if (buf.ndim() == 1)
      ref = ref.squeeze();
    else if (ref.ndim() == 1)
      buf = buf.squeeze();
    if (npy_api::get().PyArray_CopyInto_(ref.ptr(), buf.ptr()) < 0) {
      PyErr_Clear();
      return refuse(src, expected);
    }
    return accept(src);
  }

  // Results by value become arrays that own the moved storage; references (read-only fields)
  // become views; anything else is copied.
  static handle cast(Type&& src, return_value_policy, handle) {
    return eigen_encapsulate<props>(new Type(std::move(src)));
  }
  static handle cast(const Type& src, return_value_policy policy, handle parent) {
    if (policy == return_value_policy::reference) return eigen_ref_array<props>(src);
    if (policy == return_value_policy::reference_internal)
      return eigen_ref_array<props>(src, parent);
    return eigen_array_cast<props>(src);
  }
};

// Ints: pybind11's loading of the widest integer of the same sign, a range check, and the
// refusal recorded.
template <typename T, typename Wide>
struct recorded_int_caster {
  PYBIND11_TYPE_CASTER(T, type_caster<Wide>::name);

  bool load(handle src, bool convert) {
    type_caster<Wide> wide;
    if (!wide.load(src, convert) ||
        static_cast<Wide>(static_cast<T>(static_cast<Wide>(wide))) != static_cast<Wide>(wide))
      return refuse(src, std::is_signed_v<T> ? "an int between -2**31 and 2**31 - 1"
                                             : "a Python int between 0 and 2**64 - 1");
    value = static_cast<T>(static_cast<Wide>(wide));
    return accept(src);
  }

  static handle cast(T src, return_value_policy policy, handle parent) {
    return type_caster<Wide>::cast(src, policy, parent);
  }
};

template <>
struct type_caster<int> : recorded_int_caster<int, long long> {};
template <>
struct type_caster<std::uint64_t> : recorded_int_caster<std::uint64_t, unsigned long long> {};

template <>
struct type_caster<dorv::Matrix> : checked_dense_caster<dorv::Matrix> {};
template <>
struct type_caster<dorv::Vector> : checked_dense_caster<dorv::Vector> {};

// Views of array arguments: an aligned float64 array with positive strides is read where it
// lies (the caster keeps it alive for the call); anything else is converted as above into
// storage the caster owns, and viewed there.
inline bool viewable(const array& buf, ssize_t ndim) {
  if (buf.ndim() != ndim || buf.size() == 0 || !isinstance<array_t<double>>(buf) ||
      !(buf.flags() & npy_api::NPY_ARRAY_ALIGNED_))
    return false;
  for (ssize_t d = 0; d < ndim; ++d)
    if (buf.strides(d) <= 0 || buf.strides(d) % ssize_t(sizeof(double)) != 0) return false;
  return true;
}

template <typename View, typename Owned>
struct view_caster {
  PYBIND11_TYPE_CASTER(View, EigenProps<Owned>::descriptor);

  bool load(handle src, bool convert) {
    constexpr ssize_t ndim = std::is_same_v<View, dorv::MatrixView> ? 2 : 1;
    if (isinstance<array>(src) && viewable(reinterpret_borrow<array>(src), ndim)) {
      held = reinterpret_borrow<array>(src);
      const auto* data = static_cast<const double*>(held.data());
      constexpr auto step = ssize_t(sizeof(double));
      if constexpr (ndim == 2)
        value = {data, held.shape(0), held.shape(1), held.strides(0) / step,
                 held.strides(1) / step};
      else
        value = {data, held.shape(0), held.strides(0) / step};
      return accept(src);
    }
    make_caster<Owned> inner;
    if (!inner.load(src, convert)) return false;
    storage = cast_op<Owned&&>(std::move(inner));
    value = dorv::view(storage);
    return true;
  }

 private:
  array held;
  Owned storage;
};

template <>
struct type_caster<dorv::MatrixView> : view_caster<dorv::MatrixView, dorv::Matrix> {};
template <>
struct type_caster<dorv::VectorView> : view_caster<dorv::VectorView, dorv::Vector> {};

}  // namespace pybind11::detail

namespace dorv::binding {

// Int arguments (and lists of ints) are declared noconvert throughout: they then take only ints
// and index-like objects, where conversion would let pybind11 truncate numbers such as
// numpy.float32(2.5) or Fraction(5, 2) to 2 instead of refusing them.

// None means no matrix; anything else is converted into `storage` (a cast error, a
// RuntimeError, for a value that is no matrix).
inline const Matrix* optional_matrix(const pybind11::object& value, Matrix& storage) {
  if (value.is_none()) return nullptr;
  storage = value.cast<Matrix>();
  return &storage;
}

}  // namespace dorv::binding
