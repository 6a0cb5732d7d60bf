#pragma once
// Shared by the result classes: a readable repr and a clean refusal to pickle.

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace dorv::binding {

namespace py = pybind11;

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
inline py::str fields_repr(const char* name,
                           std::initializer_list<std::pair<const char*, py::object>> fields) {
  std::string text = std::string(name) + "(";
  for (const auto& [field, value] : fields)
    text += (text.back() == '(' ? "" : ", ") + std::string(field) + "=" +
            std::string(py::repr(value));
  return py::str(text + ")");
}

}  // namespace dorv::binding
