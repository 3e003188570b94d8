#include "route.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace lumetra::bindings {

namespace {

// The routes declared for one module object.
struct ModuleRoutes {
  PyObject* module = nullptr;  // only compared; each route holds a reference to it
  std::vector<Route*> routes;
};

// Every module's routes, by module name. Never freed: the routes outlive the interpreter.
std::map<std::string, ModuleRoutes, std::less<>>& registry() {
  static auto* modules = new std::map<std::string, ModuleRoutes, std::less<>>();
  return *modules;
}

std::string moduleName(py::handle module) { return py::str(module.attr("__name__")); }

// module.a.b... or nothing (no error set) when an attribute is missing.
PyObject* follow(PyObject* module, const std::vector<PyObject*>& path) {
  PyObject* object = module;
  Py_INCREF(object);
  for (PyObject* name : path) {
    PyObject* next = PyObject_GetAttr(object, name);
    Py_DECREF(object);
    if (next == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    object = next;
  }
  return object;
}

// The route of `function`, a routed function of `owner`.
const Route& routeOf(py::handle owner, const std::string& function, const std::string& caller) {
  const auto found = registry().find(moduleName(owner));
  if (found != registry().end() && found->second.module == owner.ptr()) {
    for (const Route* route : found->second.routes) {
      if (route->function() == function) return *route;
    }
  }
  throw std::logic_error("route of " + caller + ": " + function + " has no route");
}

}  // namespace

Route::Route(py::module_ module, Declaration declaration)
    : module_(std::move(module)), declaration_(std::move(declaration)) {}

void Route::bind() {
  std::vector<std::vector<std::string>> paths;
  auto watch = [&paths](const std::vector<std::string>& path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  };
  for (const Uses& use : declaration_.uses) {
    watch({use.name});
    for (const std::string& attribute : use.attributes) watch({use.name, attribute});
  }
  for (const Calls& call : declaration_.calls) {
    for (const std::string& callee : call.functions) {
      if (call.through.empty()) {
        watch({callee});
      } else {
        watch({call.through});
        watch({call.through, callee});
      }
    }
  }
  watched_.clear();
  for (const auto& path : paths) {
    Watched entry;
    for (const std::string& name : path) {
      PyObject* interned = PyUnicode_InternFromString(name.c_str());
      if (interned == nullptr) throw py::error_already_set();
      entry.path.push_back(interned);
    }
    PyObject* found = follow(module_.ptr(), entry.path);
    if (found == nullptr)
      throw py::attribute_error("route of " + function() + ": no " + path.back());
    // A strong reference, so a replacement can never share the original's address.
    entry.expected = found;
    watched_.push_back(std::move(entry));
  }
  callees_.clear();
  for (const Calls& call : declaration_.calls) {
    py::object owner =
        call.through.empty() ? py::object(module_) : module_.attr(call.through.c_str());
    for (const std::string& callee : call.functions) {
      callees_.push_back(&routeOf(owner, callee, function()));
    }
  }
  bound_ = true;
}

bool Route::intact() const {
  if (!bound_) return false;
  for (const Watched& entry : watched_) {
    PyObject* now = follow(module_.ptr(), entry.path);
    if (now == nullptr) return false;
    Py_DECREF(now);  // only its identity is needed
    if (now != entry.expected) return false;
  }
  for (const Route* callee : callees_) {
    if (!callee->intact()) return false;
  }
  return declaration_.check == nullptr || declaration_.check(module_);
}

py::object Route::callee(std::string_view function) const {
  for (const Calls& call : declaration_.calls) {
    for (const std::string& callee : call.functions) {
      if (callee != function) continue;
      if (call.through.empty()) return module_.attr(callee.c_str());
      return module_.attr(call.through.c_str()).attr(callee.c_str());
    }
  }
  throw std::logic_error(this->function() + " calls " + std::string(function) +
                         ", which its route does not list");
}

std::vector<std::string> Route::calleeNames() const {
  std::vector<std::string> names;
  for (const Calls& call : declaration_.calls) {
    for (const std::string& callee : call.functions) {
      names.push_back(call.through.empty() ? callee : call.through + "." + callee);
    }
  }
  return names;
}

const Route& declareRoute(const py::module_& module, Route::Declaration declaration) {
  ModuleRoutes& entry = registry()[moduleName(module)];
  // The routes of a module object whose body failed stay behind, unused.
  if (entry.module != module.ptr()) entry = {module.ptr(), {}};
  for (const Route* route : entry.routes) {
    if (route->function() == declaration.function) {
      throw std::logic_error("two routes of " + declaration.function);
    }
  }
  entry.routes.push_back(new Route(module, std::move(declaration)));
  return *entry.routes.back();
}

void bindRoutes(py::module_& module) {
  const auto found = registry().find(moduleName(module));
  if (found == registry().end() || found->second.module != module.ptr()) return;
  const std::vector<Route*> routes = found->second.routes;
  for (Route* route : routes) route->bind();
  module.def(
      "_routes",
      [routes] {
        py::dict out;
        for (const Route* route : routes) {
          py::dict state;
          state["bound"] = route->bound();
          state["intact"] = route->intact();
          py::list calls;
          for (const std::string& name : route->calleeNames()) calls.append(name);
          state["calls"] = calls;
          out[route->function().c_str()] = state;
        }
        return out;
      },
      "Each routed function's route: whether it is bound and intact, and the functions it "
      "calls.");
}

}  // namespace lumetra::bindings
