// Which of a function's two bodies runs. Most functions of the package have a C++ body, which
// computes the result through the core in one call, and a call-by-call body, which evaluates the
// formula through the module's Python names (np, moment, the statistics functions, ...), each
// looked up when it is used. Both give the same result while those names still refer to what the
// module bound when it was loaded; a caller who replaces one (a wrapped np.var, a patched
// genPartitions) gets the call-by-call body, so the replacement is used.
//
// A Route is the table of one function: the names its C++ body stands in for and the functions
// it calls, whose routes it includes. Each module declares the routes of its functions once
// (routes.cpp beside its module.cpp) and binds them at the end of its body.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace lumetra::bindings {

namespace py = pybind11;

class Route {
 public:
  // A name of the module's namespace and the attributes of it that the C++ body stands in for.
  struct Uses {
    std::string name;
    std::vector<std::string> attributes = {};
  };
  // A function the body calls: `callee`'s function, reached as an attribute of the module's
  // name `through` (empty: a name of the module itself).
  struct Calls {
    std::string through;
    const Route* callee;
  };
  // A further condition on the module, checked after the names (the native component).
  using Check = bool (*)(py::handle module);

  Route(std::string function, std::vector<Uses> uses, std::vector<Calls> calls = {},
        Check check = nullptr);

  // Remembers what every name refers to now; once, when the module body has defined them all.
  void bind(py::handle module);

  // True while every name, attribute and callee is what bind() saw, and the check holds.
  [[nodiscard]] bool intact() const;

  [[nodiscard]] const std::string& function() const { return function_; }

 private:
  // References kept for the life of the process, like the modules themselves (never released:
  // the routes outlive the interpreter).
  struct Watched {
    std::vector<PyObject*> path;  // attribute names from the module, interned
    PyObject* expected;
  };
  std::string function_;
  std::vector<Uses> uses_;
  std::vector<Calls> calls_;
  Check check_;
  PyObject* module_ = nullptr;  // unset until bound: an unbound route is never intact
  std::vector<Watched> watched_;
};

// The C++ body when the route is intact and the body gives a result (it answers nothing for
// inputs that only the formula handles exactly); the call-by-call body otherwise.
template <typename Fast, typename Formula>
auto dispatch(const Route& route, Fast&& fast, Formula&& formula) -> decltype(formula()) {
  if (route.intact()) {
    if (auto result = fast()) return std::move(*result);
  }
  return formula();
}

}  // namespace lumetra::bindings
