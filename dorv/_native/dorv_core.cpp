// Python module: converts arguments, calls one native operation, converts the result back.

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <optional>
#include <string>

#include "bases.hpp"
#include "sampling.hpp"
#include "scoring.hpp"

// Casters for floats, vectors and matrices: pybind11's, with two refusals before anything is
// allocated or copied. Complex input is refused (as TypeError): the copy to double would drop
// the imaginary part with a ComplexWarning, and fail only where warnings are errors, so the
// outcome would depend on the warning filters. An array whose copy cannot fit in memory (a
// broadcast view, for example) raises MemoryError instead of being allocated and filled.
namespace pybind11::detail {

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

  bool load(handle src, bool convert) {
    if (!src) return false;
    if (PyFloat_Check(src.ptr())) {
      value = PyFloat_AS_DOUBLE(src.ptr());
      return true;
    }
    if (!PyLong_Check(src.ptr()) && (!convert || is_complex_scalar(src))) return false;
    const double v = PyFloat_AsDouble(src.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    value = v;
    return true;
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

  bool load(handle src, bool convert) {
    if (!convert && !isinstance<array_t<double>>(src)) return false;
    auto buf = array::ensure(src);
    if (!buf || buf.ndim() < 1 || buf.ndim() > 2) return false;
    const auto fits = props::conformable(buf);
    if (!fits) return false;
    dorv::require_doubles(static_cast<double>(fits.rows) * static_cast<double>(fits.cols));
    if (holds_complex(buf)) return false;
    value = Type(fits.rows, fits.cols);
    dorv::advise_huge_pages(value.data(), value.size());
    if (buf.ndim() == 2 && !(buf.flags() & npy_api::NPY_ARRAY_F_CONTIGUOUS_) &&
        (buf.flags() & npy_api::NPY_ARRAY_ALIGNED_) && isinstance<array_t<double>>(buf)) {
      copy_strided(buf, value.data(), fits.rows, fits.cols);
      return true;
    }
    auto ref = reinterpret_steal<array>(eigen_ref_array<props>(value));
    if (buf.ndim() == 1)
      ref = ref.squeeze();
    else if (ref.ndim() == 1)
      buf = buf.squeeze();
    if (npy_api::get().PyArray_CopyInto_(ref.ptr(), buf.ptr()) < 0) {
      PyErr_Clear();
      return false;
    }
    return true;
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

template <>
struct type_caster<dorv::Matrix> : checked_dense_caster<dorv::Matrix> {};
template <>
struct type_caster<dorv::Vector> : checked_dense_caster<dorv::Vector> {};

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

void register_statistics(py::module_& m) {
  m.def("mad", unlocked(&mad, [](const Vector& y) { return 10.0 * size(y); }), "y"_a)
      .def("compute_sr",
           unlocked(&compute_SR, [](const Vector&, const Vector& yt, double) { return size(yt); }),
           "yp"_a, "yt"_a, "eps"_a)
      .def(
          "mdl_score",
          [](const Vector& yp, const Vector& yt, int k, int H) {
            return released(12.0 * size(yt),
                            [&] { return mdl_score(yp, yt, k, H, nullptr, nullptr); });
          },
          "yp"_a, "yt"_a, "k"_a.noconvert(), "H"_a.noconvert() = 20)
      .def(
          "mdl_score_reg",
          [](const Vector& yp, const Vector& yt, int k, int H, const Vector& beta,
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
        unlocked(&design_matrix_1d, [](int deg, const Vector& x) { return (deg + 1.0) * size(x); }),
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
                 [](const Matrix& X, const Vector&) {
                   return size(X) * static_cast<double>(X.cols());
                 }),
        "X"_a, "y"_a)
      .def(
          "fit_regularized_linear",
          [](const Matrix& Phi, const Vector& y, const py::object& R1, const py::object& R2,
             double gamma1, double gamma2, double ridge) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            const double p = static_cast<double>(Phi.cols());
            return released(size(Phi) * (p + 2.0) + p * p * p, [&] {
              return fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
            });
          },
          "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0, "ridge"_a = 1e-10);
}

void register_sampling(py::module_& m) {
  py::class_<GibbsResult> gibbs(m, "GibbsResult");
  gibbs.def_readonly("H", &GibbsResult::H)
      .def_readonly("Hmax", &GibbsResult::Hmax)
      .def_readonly("He", &GibbsResult::He)
      .def_readonly("r_heat", &GibbsResult::r_heat)
      .def_readonly("var_E", &GibbsResult::var_E)
      .def_readonly("T", &GibbsResult::T);
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
      .def_readonly("n_elite", &MCMCResult::n_elite);
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
             const py::object& R2, double gamma1, double gamma2) {
            Matrix r1, r2;
            const Matrix* p1 = optional_matrix(R1, r1);
            const Matrix* p2 = optional_matrix(R2, r2);
            // Even the smallest fit starts a thread team: always worth a release.
            return released(kReleaseWork,
                            [&] { return self.fit(X, y, p1, p2, gamma1, gamma2); });
          },
          "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
          "gamma2"_a = 0.0);
  refuse_pickling(sampler);
}

}  // namespace

PYBIND11_MODULE(dorv_core, m) {
  m.doc() = "DORV-P performans-kritik cekirdegi (C++/Eigen).";
  register_statistics(m);
  register_bases(m);
  register_solvers(m);
  register_sampling(m);
}
