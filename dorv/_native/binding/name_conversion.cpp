#include "binding/name_conversion.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>

#include "binding/casters.hpp"

namespace py = pybind11;

namespace dorv::binding {

namespace {

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

// The function's name as a message names it: "fit" of a class as "TournamentMCMC.fit", its
// constructor as "TournamentMCMC".
std::string qualified_name(const py::detail::function_record& f) {
  const std::string name = f.name;
  if (!f.is_method || !f.scope) return name;
  const auto cls = py::cast<std::string>(f.scope.attr("__name__"));
  return name == "__init__" ? cls : cls + "." + name;
}

// "who: name must be <expected>, got <what>" for the argument (or an item of the argument) that
// the casters refused last; the signature and a description of every argument when that is not
// known (a sequence of the wrong length, say). Never the values of an array.
std::string conversion_message(const py::detail::function_call& call) {
  const auto& f = call.func;
  const std::string who = qualified_name(f);
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
  } catch (const std::bad_alloc& e) {
    // The memory guard says how much it refused; an allocation that failed says nothing.
    const bool sized = dynamic_cast<const OutOfMemory*>(&e) != nullptr;
    PyErr_SetString(PyExc_MemoryError,
                    (qualified_name(call.func) + ": " +
                     (sized ? e.what() : "an allocation failed (" + std::string(e.what()) + ")"))
                        .c_str());
    throw py::error_already_set();
  }
  throw py::type_error(conversion_message(call));
}

}  // namespace

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

}  // namespace dorv::binding
