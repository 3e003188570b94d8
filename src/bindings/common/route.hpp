// Which of a function's two bodies runs. Most functions of the package have a C++ body, which
// computes the result through the core in one call, and a call-by-call body, which evaluates the
// formula through the module's Python names (np, moment, the statistics functions, ...), each
// looked up when it is used. Both give the same result while those names still refer to what the
// module bound when it was loaded; a caller who replaces one (a wrapped np.var, a patched
// genPartitions) gets the call-by-call body, so the replacement is used.
//
// A Route is the table of one function: the names its C++ body stands in for and the functions
// it calls, whose routes it includes. A route is declared by the definition of its function
// (routed.hpp), and the module machinery binds every route of a module when its body ends.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
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
  // Routed functions the body calls, reached as attributes of the module's name `through`
  // (empty: names of the module itself). The call-by-call body looks each up with callee().
  struct Calls {
    std::string through;
    std::vector<std::string> functions;
  };
  // A further condition on the module, checked after the names (the native component).
  using Check = bool (*)(py::handle module);

  // What one function's C++ body stands in for; `function` is the name it is defined under.
  struct Declaration {
    std::string function;
    std::vector<Uses> uses = {};
    std::vector<Calls> calls = {};
    Check check = nullptr;
  };

  // Made only by declareRoute, so that every route is bound with its module.
  Route(const Route&) = delete;
  Route& operator=(const Route&) = delete;

  // Remembers what every name refers to now and finds the callees' routes; once, when the
  // module body has defined them all.
  void bind();

  // True while the route is bound and every name, attribute and callee is what bind() saw,
  // and the check holds.
  [[nodiscard]] bool intact() const;
  [[nodiscard]] bool bound() const { return bound_; }

  // The callee `function` as the module names it now. A function the declaration does not
  // list is refused (std::logic_error): the C++ body would not notice its replacement.
  [[nodiscard]] py::object callee(std::string_view function) const;

  [[nodiscard]] const std::string& function() const { return declaration_.function; }
  [[nodiscard]] const py::module_& module() const { return module_; }
  // The declared callees, "through.function" or "function".
  [[nodiscard]] std::vector<std::string> calleeNames() const;

 private:
  // References kept for the life of the process, like the modules themselves (never released:
  // the routes outlive the interpreter).
  struct Watched {
    std::vector<PyObject*> path;  // attribute names from the module, interned
    PyObject* expected;
  };
  friend const Route& declareRoute(const py::module_& module, Declaration declaration);
  Route(py::module_ module, Declaration declaration);

  py::module_ module_;
  Declaration declaration_;
  bool bound_ = false;  // an unbound route is never intact
  std::vector<Watched> watched_;
  std::vector<const Route*> callees_;
};

// Declares the route of one of `module`'s functions. It lives as long as the process and is
// bound with the module's others by bindRoutes.
const Route& declareRoute(const py::module_& module, Route::Declaration declaration);

// Binds every route declared for `module` and, if there are any, defines the module's
// `_routes()`: for each route, whether it is bound and intact and what it calls. The module
// machinery calls it once the body has run.
void bindRoutes(py::module_& module);

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
