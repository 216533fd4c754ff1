// The Python binding of the library solver: one class over tsr::Solver that
// takes compressed-column arrays from numpy and solves blocks of right-hand
// sides, the interpreter's lock released while it works. The scipy-facing
// functions are written in Python (tessar/__init__.py).
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <complex>
#include <mutex>
#include <optional>
#include <string>

#include "tessar/solver.h"

namespace py = pybind11;

namespace {

using cplx = std::complex<double>;
template <class T>
using Array = py::array_t<T, py::array::f_style | py::array::forcecast>;

// The options from keyword arguments; an unknown name is a TypeError.
tsr::Options options_of(const py::dict& given) {
  tsr::Options o;
  for (const auto& [key, value] : given) {
    const std::string name = py::str(key);
    if (name == "threads") o.threads = value.cast<int>();
    else if (name == "solve_threads") o.solve_threads = value.cast<int>();
    else if (name == "double_precision") o.double_precision = value.cast<bool>();
    else if (name == "single_updates") o.single_updates = value.cast<bool>();
    else if (name == "pivoting") o.pivoting = value.cast<bool>();
    else if (name == "allow_perturbation") o.allow_perturbation = value.cast<bool>();
    else if (name == "multi_thread") o.multi_thread = value.cast<bool>();
    else if (name == "block_size") o.block_size = value.cast<int>();
    else if (name == "zero_fill") o.zero_fill = value.cast<int>();
    else if (name == "reorder") o.reorder = value.cast<bool>();
    else if (name == "diag_scale") o.diag_scale = value.cast<bool>();
    else if (name == "matching") o.matching = value.cast<int>();
    else if (name == "bicgstab") o.bicgstab = value.cast<bool>();
    else if (name == "enforce_iterations") o.enforce_iterations = value.cast<bool>();
    else if (name == "tolerance") o.tolerance = value.cast<double>();
    else if (name == "max_iterations") o.max_iterations = value.cast<int>();
    else if (name == "pivot_threshold") o.pivot_threshold = value.cast<double>();
    else if (name == "memory_limit_kb") o.memory_limit_kb = value.cast<std::int64_t>();
    else if (name == "work_dir") o.work_dir = value.cast<std::string>();
    else if (name == "escalate") o.escalate = value.cast<bool>();
    else throw py::type_error("unknown option '" + name + "'");
  }
  return o;
}

py::dict info_of(const tsr::Result& result) {
  py::list rhs;
  for (const tsr::RhsReport& r : result.rhs) {
    py::dict d;
    d["residual"] = r.residual;
    d["iterations"] = r.iterations;
    d["step"] = r.step;
    d["factorization"] = r.factorization;
    rhs.append(d);
  }
  py::dict info;
  info["rhs"] = rhs;
  info["factors"] = result.factors;
  if (result.inertia[0] >= 0) info["inertia"] = py::make_tuple(result.inertia[0], result.inertia[1], result.inertia[2]);
  else info["inertia"] = py::none();
  info["perturbed_pivots"] = result.perturbed_pivots;
  return info;
}

class Factor {
 public:
  Factor(int kind, std::int32_t n, const Array<std::int64_t>& indptr, const Array<std::int32_t>& indices,
         const py::array& data, const py::dict& options) {
    if (n < 1) throw py::value_error("the matrix needs at least one row");
    if (indptr.ndim() != 1 || indptr.shape(0) != static_cast<py::ssize_t>(n) + 1)
      throw py::value_error("indptr needs n + 1 entries");
    const std::int64_t nnz = indptr.at(n);
    if (indices.ndim() != 1 || indices.shape(0) < nnz || data.ndim() != 1 || data.shape(0) < nnz)
      throw py::value_error("indices and data need indptr[n] entries");
    const tsr::Options o = options_of(options);
    if (kind >= 2) build(kind, n, indptr, indices, converted<cplx>(data), o);
    else build(kind, n, indptr, indices, converted<double>(data), o);
  }

  std::int32_t order() const { return solver_->order(); }

  // B as a 2-D Fortran-ordered block of the factor's scalar type.
  template <class T>
  py::tuple solve(const Array<T>& b) {
    if (b.ndim() != 2 || b.shape(0) != order()) throw py::value_error("b needs one row per unknown");
    const auto nrhs = static_cast<std::int32_t>(b.shape(1));
    Array<T> x({b.shape(0), b.shape(1)});
    const T* in = b.data();
    T* out = x.mutable_data();
    tsr::Result result;
    {
      const py::gil_scoped_release unlocked;
      const std::scoped_lock one_at_a_time(lock_);
      result = solver_->solve(in, out, nrhs);
    }
    return py::make_tuple(x, info_of(result));
  }

  bool complex() const { return static_cast<int>(solver_->kind()) >= 2; }

 private:
  template <class T>
  static Array<T> converted(const py::array& data) {
    Array<T> values = Array<T>::ensure(data);
    if (!values) throw py::type_error("data holds values that are not numbers");
    return values;
  }

  // The solver copies the arrays; analysis and factorization run unlocked.
  template <class T>
  void build(int kind, std::int32_t n, const Array<std::int64_t>& indptr, const Array<std::int32_t>& indices,
             const Array<T>& values, const tsr::Options& options) {
    const py::gil_scoped_release unlocked;
    solver_.emplace(static_cast<tsr::Kind>(kind), n, indptr.data(), indices.data(), values.data(), options);
    solver_->factorize();
  }

  std::optional<tsr::Solver> solver_;
  // Python threads may share a factor: their solves take turns.
  std::mutex lock_;
};

}  // namespace

PYBIND11_MODULE(_tessar, m) {
  m.doc() = "Sparse direct solver: the compiled part of the tessar package";
  // Kept for the life of the interpreter: the translator raises it.
  static auto* error = new py::exception<tsr::Error>(m, "Error");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const tsr::Error& e) {
      py::object instance = py::handle(error->ptr())(py::str(e.what()));
      instance.attr("code") = e.code();
      PyErr_SetObject(error->ptr(), instance.ptr());
    }
  });
  py::class_<Factor>(m, "Factor")
      .def(py::init<int, std::int32_t, const Array<std::int64_t>&, const Array<std::int32_t>&, const py::array&,
                    const py::dict&>())
      .def_property_readonly("n", &Factor::order)
      .def_property_readonly("complex", &Factor::complex)
      .def("solve_real", &Factor::solve<double>)
      .def("solve_complex", &Factor::solve<cplx>);
}
