// Python module: converts arguments, calls one native operation, converts the result back.

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "bases.hpp"
#include "robust.hpp"
#include "sampling.hpp"
#include "scoring.hpp"

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

namespace py = pybind11;
using namespace pybind11::literals;
using namespace dorv;

namespace {

// Int arguments (and lists of ints) are declared noconvert throughout: they then take only ints
// and index-like objects, where conversion would let pybind11 truncate numbers such as
// numpy.float32(2.5) or Fraction(5, 2) to 2 instead of refusing them.

// None means no matrix; anything else is converted into `storage` (a cast error, a
// RuntimeError, for a value that is no matrix).
const Matrix* optional_matrix(const py::object& value, Matrix& storage) {
  if (value.is_none()) return nullptr;
  storage = value.cast<Matrix>();
  return &storage;
}

// What a refused argument is, for messages: the shape and dtype of an array (also of a list
// that converts to one), the length of another sequence, or the type and a short repr.
std::string describe(py::handle v) {
  const auto shape = [](const py::array& a) { return std::string(py::str(a.attr("shape"))); };
  if (py::isinstance<py::array>(v)) {
    const auto a = py::reinterpret_borrow<py::array>(v);
    return "an array of shape " + shape(a) + " and dtype " + std::string(py::str(a.dtype()));
  }
  if (v.is_none()) return "None";
  const std::string type = Py_TYPE(v.ptr())->tp_name;
  if (PyList_Check(v.ptr()) || PyTuple_Check(v.ptr())) {
    const auto a = py::array::ensure(v);
    if (!a) return "a " + type + " of " + std::to_string(py::len(v)) + " items";
    const char kind = a.dtype().kind();
    const bool numbers = kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
    return "a " + type + " of shape " + shape(a) +
           (numbers ? "" : " and dtype " + std::string(py::str(a.dtype())));
  }
  const std::string text = py::repr(v);
  return text.size() <= 40 ? type + " " + text : type;
}

bool holds(py::handle container, PyObject* item, int depth) {
  if (depth == 0 || !(PyList_Check(container.ptr()) || PyTuple_Check(container.ptr())))
    return false;
  for (const py::handle x : container)
    if (x.ptr() == item || holds(x, item, depth - 1)) return true;
  return false;
}

// "who: name must be <expected>, got <what>" for the argument (or an item of the argument) that
// the casters refused last; the signature and a description of every argument when that is not
// known (a sequence of the wrong length, say). Never the values of an array.
std::string conversion_message(const py::detail::function_call& call) {
  const auto& f = call.func;
  std::string who = f.name;
  if (f.is_method && f.scope)
    who = py::cast<std::string>(f.scope.attr("__name__")) + (who == "__init__" ? "" : "." + who);
  const auto& record = py::detail::conversions;
  const std::size_t first = f.is_method ? 1 : 0;
  // Arguments convert in order: a value passed for several of them failed at its first
  // occurrence after those that converted.
  auto skip = std::count(record.loaded.begin(), record.loaded.end(), record.refused);
  for (std::size_t i = first; record.refused != nullptr && i < call.args.size(); ++i) {
    const std::string name = f.args[i].name;
    const std::string none = f.args[i].value && f.args[i].value.is_none() ? "None or " : "";
    if (call.args[i].ptr() == record.refused && skip-- == 0)
      return who + ": " + name + " must be " + none + record.expected + ", got " +
             describe(call.args[i]);
    if (holds(call.args[i], record.refused, 2))
      return who + ": the items of " + name + " must be " + record.expected + ", got " +
             describe(record.refused);
  }
  std::string signature = f.signature, got;
  signature.erase(signature.rfind(" -> "));
  if (f.is_method) {  // without self
    const auto next = signature.find(", ");
    signature = "(" + (next == std::string::npos ? ")" : signature.substr(next + 2));
  }
  for (std::size_t i = first; i < call.args.size(); ++i)
    got += (i > first ? ", " : "") + std::string(f.args[i].name) + "=" + describe(call.args[i]);
  return who + ": arguments do not convert to " + who + signature + "; got " + got;
}

using Impl = py::handle (*)(py::detail::function_call&);

std::unordered_map<const py::detail::function_record*, Impl>& original_impls() {
  static std::unordered_map<const py::detail::function_record*, Impl> impls;
  return impls;
}

// Calls the function as pybind11 would, but reports an argument that does not convert by its
// name (TypeError; RuntimeError from an optional matrix, converted in the call) instead of
// listing the signatures and the repr of every argument.
py::handle call_reporting_failures(py::detail::function_call& call) {
  auto& record = py::detail::conversions;
  record.loaded.clear();
  record.refused = nullptr;
  try {
    const py::handle result = original_impls().at(&call.func)(call);
    if (result.ptr() != PYBIND11_TRY_NEXT_OVERLOAD) return result;
  } catch (const py::cast_error&) {
    if (record.refused == nullptr) throw;
    throw py::cast_error(conversion_message(call));
  }
  throw py::type_error(conversion_message(call));
}

// Reroutes the functions and methods of the module (those without overloads) through
// call_reporting_failures.
void name_conversion_failures(py::module_& m) {
  const auto reroute = [](py::handle h) {
    h = py::detail::get_function(h);
    if (!h || !PyCFunction_Check(h.ptr())) return;
    auto* rec = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(h.ptr()));
    if (rec == nullptr || rec->next != nullptr || rec->impl == &call_reporting_failures) return;
    original_impls()[rec] = rec->impl;
    rec->impl = &call_reporting_failures;
  };
  for (const auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
    reroute(item.second);
    if (PyType_Check(item.second.ptr()))
      for (const py::handle member : item.second.attr("__dict__").attr("values")())
        reroute(member);
  }
}

// Long calls run their native work without the interpreter lock, so that other Python threads
// run meanwhile, and stop when a signal handler raises. Arguments are converted before and
// results built after, with the lock held. Below kReleaseWork units (stop_point's rough count of
// arithmetic operations) a call keeps the lock: a release costs little, but taking the lock back
// from a busy thread can cost milliseconds.
constexpr double kReleaseWork = 1 << 15;

// The stop check of the native loops: runs the pending signal handlers, with the lock held, and
// keeps the exception that one of them raised. Only the main thread runs signal handlers, so
// only there is the check installed.
class SignalCheck final : public StopSource {
 public:
  bool requested() override {
    const py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() == 0) return false;
    raised_.emplace();  // fetches the handler's exception
    return true;
  }

  // Throws the handler's exception, if one stopped the call.
  void raise_if_stopped() const {
    if (raised_) throw *raised_;
  }

 private:
  std::optional<py::error_already_set> raised_;
};

template <class Run>
auto released(double work, const Run& run) -> decltype(run()) {
  if (!(work >= kReleaseWork)) return run();
  SignalCheck check;
  const StopScope scope(_PyOS_IsMainThread() ? &check : nullptr);
  try {
    const py::gil_scoped_release unlocked;
    return run();
  } catch (...) {
    check.raise_if_stopped();  // the handler's exception, whatever the work threw on its way out
    throw;
  }
}

// A native operation as a binding that runs it through `released`, with work(args...) units.
template <class Result, class... Args, class Work>
auto unlocked(Result (*op)(Args...), Work work) {
  return [op, work](Args... args) {
    return released(work(args...), [&] { return op(args...); });
  };
}

double size(const Matrix& A) { return static_cast<double>(A.size()); }
double size(const Vector& v) { return static_cast<double>(v.size()); }
double size(const MatrixView& A) { return static_cast<double>(A.rows) * static_cast<double>(A.cols); }
double size(const VectorView& v) { return static_cast<double>(v.size); }

// Instances cannot be rebuilt from Python, so pickling and copying must refuse cleanly rather
// than let the default protocols 0 and 1 construct a bare instance.
template <class Class>
Class& refuse_pickling(Class& cls) {
  const std::string message =
      "cannot pickle '" + py::cast<std::string>(cls.attr("__qualname__")) + "' object";
  return cls.def("__reduce_ex__", [message](const py::object&, const py::object&) -> py::object {
    throw py::type_error(message);
  });
}

// "Name(field=repr, ...)".
py::str fields_repr(const char* name,
                    std::initializer_list<std::pair<const char*, py::object>> fields) {
  std::string text = std::string(name) + "(";
  for (const auto& [field, value] : fields)
    text += (text.back() == '(' ? "" : ", ") + std::string(field) + "=" +
            std::string(py::repr(value));
  return py::str(text + ")");
}

void register_statistics(py::module_& m) {
  m.def("mad", unlocked(&mad, [](const VectorView& y) { return 10.0 * size(y); }), "y"_a)
      .def("compute_sr",
           unlocked(&compute_SR,
                     [](const VectorView&, const VectorView& yt, double) { return size(yt); }),
           "yp"_a, "yt"_a, "eps"_a)
      .def(
          "mdl_score",
          [](const VectorView& yp, const VectorView& yt, int k, int H) {
            return released(12.0 * size(yt),
                            [&] { return mdl_score(yp, yt, k, H, nullptr, nullptr); });
          },
          "yp"_a, "yt"_a, "k"_a.noconvert(), "H"_a.noconvert() = 20)
      .def(
          "mdl_score_reg",
          [](const VectorView& yp, const VectorView& yt, int k, int H, const Vector& beta,
             const Matrix& R1, const Matrix& R2, double gamma1, double gamma2) {
            const PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return released(12.0 * size(yt) + 2.0 * (size(R1) + size(R2)),
                            [&] { return mdl_score(yp, yt, k, H, &beta, &pen); });
          },
          "yp"_a, "yt"_a, "k"_a.noconvert(), "H"_a.noconvert(), "beta"_a, "R1"_a, "R2"_a,
          "gamma1"_a = 0.0, "gamma2"_a = 0.0);
}

void register_bases(py::module_& m) {
  // The tuple wrappers move the records' matrices into their arrays rather than copying them.
  m.def("design_matrix_1d",
        unlocked(&design_matrix_1d,
                 [](int deg, const VectorView& x) { return (deg + 1.0) * size(x); }),
        "deg"_a.noconvert(), "x"_a)
      .def(
          "smoothness_penalty_matrices_1d",
          [](int deg, double x_min, double x_max, int n_grid) {
            auto pm = released(4.0 * n_grid * (deg + 1.0) * (deg + 11.0), [&] {
              return smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            });
            return py::typing::Tuple<Matrix, Matrix>(
                py::make_tuple(std::move(pm.R1), std::move(pm.R2)));
          },
          "deg"_a.noconvert(), "x_min"_a, "x_max"_a, "n_grid"_a.noconvert() = 600)
      .def("boundary_reduce_1d",
           unlocked(&boundary_reduce_1d,
                    [](int deg, double, double) { return 4.0 * (deg + 1.0) * (deg + 1.0); }),
           "deg"_a.noconvert(), "x_min"_a, "x_max"_a)
      .def("design_matrix_nd",
           unlocked(&design_matrix_nd,
                    [](const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
                      const double n = X_cols.empty() ? 0.0 : size(X_cols[0]);
                      return 20.0 * n * static_cast<double>(multi_indices.size()) *
                             static_cast<double>(X_cols.size());
                    }),
           "multi_indices"_a.noconvert(), "X_cols"_a)
      .def(
          "build_penalty_matrices_nd",
          [](const std::vector<int>& degrees, const Bounds& bounds, int n_grid_per_dim) {
            double basis = 1.0, tables = 0.0;
            for (const int deg : degrees) {
              basis *= deg + 1.0;
              tables += 60.0 * n_grid_per_dim * (deg + 1.0) * (deg + 1.0);
            }
            const double work = 10.0 * basis * basis * static_cast<double>(degrees.size());
            auto pm = released(work + tables, [&] {
              return build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            });
            return py::typing::Tuple<Matrix, Matrix, MultiIndexList>(py::make_tuple(
                std::move(pm.R1), std::move(pm.R2), std::move(pm.multi_indices)));
          },
          "degrees"_a.noconvert(), "bounds"_a, "n_grid_per_dim"_a.noconvert() = 30);
}

void register_solvers(py::module_& m) {
  m.def("ols",
        unlocked(&ols,
                 [](const MatrixView& X, const VectorView&) {
                   return size(X) * static_cast<double>(X.cols);
                 }),
        "X"_a, "y"_a)
      .def(
          "fit_regularized_linear",
          [](const MatrixView& Phi, const VectorView& y, const py::object& R1,
             const py::object& R2, double gamma1, double gamma2, double ridge) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const double p = static_cast<double>(Phi.cols);
            return released(size(Phi) * (p + 2.0) + p * p * p, [&] {
              return fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
            });
          },
          "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "ridge"_a = 1e-10);
}

void register_robust(py::module_& m) {
  py::class_<RobustFit> result(m, "RobustFit");
  result.def_readonly("coef", &RobustFit::coef)
      .def_readonly("scale", &RobustFit::scale)
      .def_readonly("weights", &RobustFit::weights)
      .def_readonly("inlier_mask", &RobustFit::inlier_mask)
      .def_readonly("n_iter", &RobustFit::n_iter)
      .def_readonly("converged", &RobustFit::converged)
      .def("__repr__", [](const RobustFit& r) {
        return fields_repr("RobustFit", {{"coef", py::cast(r.coef)},
                                         {"scale", py::float_(r.scale)},
                                         {"n_iter", py::int_(r.n_iter)},
                                         {"converged", py::bool_(r.converged)}});
      });
  refuse_pickling(result);

  // None for init or scale: none given (a scale of 0 also asks for an estimate).
  m.def(
      "fit_robust_linear",
      [](const MatrixView& Phi, const VectorView& y, const py::object& R1, const py::object& R2,
         double gamma1, double gamma2, double ridge, const std::optional<Vector>& init,
         const std::optional<double>& scale, int n_starts, std::uint64_t seed, int max_iter) {
        Matrix r1, r2;
        const Matrix* p1 = optional_matrix(R1, r1);
        const Matrix* p2 = optional_matrix(R2, r2);
        const RobustOptions opt{init ? &*init : nullptr, scale.value_or(0.0), n_starts, seed,
                                max_iter};
        const double p = static_cast<double>(Phi.cols);
        const double search = std::max(n_starts, 0) * 2000.0 * p * 8.0;
        return released(search + std::max(max_iter, 1) * size(Phi) * (p + 8.0), [&] {
          return fit_robust_linear(Phi, y, p1, p2, gamma1, gamma2, ridge, opt);
        });
      },
      "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
      "gamma2"_a = 0.0, "ridge"_a = 1e-10, py::kw_only(), "init"_a = py::none(),
      "scale"_a = py::none(), "n_starts"_a.noconvert() = 100, "seed"_a.noconvert() = 0,
      "max_iter"_a.noconvert() = 50);
}

void register_sampling(py::module_& m) {
  py::class_<GibbsResult> gibbs(m, "GibbsResult");
  gibbs.def_readonly("H", &GibbsResult::H)
      .def_readonly("Hmax", &GibbsResult::Hmax)
      .def_readonly("He", &GibbsResult::He)
      .def_readonly("r_heat", &GibbsResult::r_heat)
      .def_readonly("var_E", &GibbsResult::var_E)
      .def_readonly("T", &GibbsResult::T)
      .def("__repr__", [](const GibbsResult& g) {
        return fields_repr("GibbsResult",
                           {{"H", py::float_(g.H)}, {"Hmax", py::float_(g.Hmax)},
                            {"He", py::float_(g.He)}, {"r_heat", py::float_(g.r_heat)},
                            {"var_E", py::float_(g.var_E)}, {"T", py::float_(g.T)}});
      });
  refuse_pickling(gibbs);

  m.def("gibbs_entropy",
        unlocked(&gibbs_entropy, [](const Vector& E, double) { return 40.0 * size(E); }),
        "energies"_a, "T"_a = 1.0);

  // Properties return views into the record (read-only arrays, internal references), each
  // keeping the result object alive.
  py::class_<MCMCResult> result(m, "MCMCResult");
  result.def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
      .def_readonly("energy", &MCMCResult::energy)
      .def_readonly("gibbs", &MCMCResult::gibbs)
      .def_readonly("n_chains", &MCMCResult::n_chains)
      .def_readonly("n_elite", &MCMCResult::n_elite)
      .def("__repr__", [](const MCMCResult& r) {
        return fields_repr("MCMCResult", {{"beta_mcmc", py::cast(r.beta_mcmc)},
                                          {"energy", py::float_(r.energy)},
                                          {"gibbs", py::cast(r.gibbs)},
                                          {"n_chains", py::int_(r.n_chains)},
                                          {"n_elite", py::int_(r.n_elite)}});
      });
  refuse_pickling(result);

  py::class_<TournamentMCMC> sampler(m, "TournamentMCMC");
  sampler
      .def(py::init<int, int, int, int, double, int, std::uint64_t>(),
           "n_chains"_a.noconvert() = 25, "n_warmup"_a.noconvert() = 200,
           "n_deep"_a.noconvert() = 2000, "n_elite"_a.noconvert() = 5, "step_size"_a = 0.05,
           "H_piH"_a.noconvert() = 20, "seed"_a.noconvert() = 42)
      .def(
          "fit",
          [](const TournamentMCMC& self, const Matrix& X, const Vector& y, const py::object& R1,
             const py::object& R2, double gamma1, double gamma2,
             const std::optional<Vector>& init) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const Vector* start = init ? &*init : nullptr;
            // Even the smallest fit starts a thread team: always worth a release.
            return released(kReleaseWork,
                            [&] { return self.fit(X, y, p1, p2, gamma1, gamma2, start); });
          },
          "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "init"_a = py::none())
      .def("__repr__", [](const TournamentMCMC& t) {
        return fields_repr("TournamentMCMC", {{"n_chains", py::int_(t.n_chains())},
                                              {"n_warmup", py::int_(t.n_warmup())},
                                              {"n_deep", py::int_(t.n_deep())},
                                              {"n_elite", py::int_(t.n_elite())},
                                              {"step_size", py::float_(t.step_size())},
                                              {"H_piH", py::int_(t.H_piH())},
                                              {"seed", py::int_(t.seed())}});
      });
  refuse_pickling(sampler);
}

}  // namespace

PYBIND11_MODULE(dorv_core, m) {
  m.doc() = "DORV-P performans-kritik cekirdegi (C++/Eigen).";
  register_statistics(m);
  register_bases(m);
  register_solvers(m);
  register_robust(m);
  register_sampling(m);
  name_conversion_failures(m);
}
