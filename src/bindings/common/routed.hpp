// The definition of a routed function: one declaration gives the function, its route (what its
// C++ body stands in for, and what it calls) and the route's binding when the module body ends.
// A body may take the route as its first parameter; it then reaches the module through
// route.module(), picks its body with dispatch(route, ...) and looks its callees up with
// route.callee(name).
#pragma once

#include <utility>

#include "module.hpp"
#include "route.hpp"

namespace lumetra::bindings {

namespace detail {

// The body as Python calls it: the route handed over first when the body takes one.
template <typename Result, typename... Args>
auto withRoute(const Route* route, Result (*body)(const Route&, Args...)) {
  return [route, body](Args... args) -> Result { return body(*route, std::move(args)...); };
}
template <typename Result, typename... Args>
auto withRoute(const Route* /*route*/, Result (*body)(Args...)) {
  return body;
}

}  // namespace detail

// Defines the module function `declaration.function`.
template <typename Body, typename... Extra>
void defRouted(py::module_& m, Route::Declaration declaration, Body body, const Extra&... extra) {
  const Route& route = declareRoute(m, std::move(declaration));
  m.def(route.function().c_str(), detail::withRoute(&route, body), extra...);
}

// The method `declaration.function` of a class of module m, for its namespace.
template <typename Body, typename... Extra>
py::object routedMethod(const py::module_& m, Route::Declaration declaration, Body body,
                        const Extra&... extra) {
  const Route& route = declareRoute(m, std::move(declaration));
  return asMethod(py::cpp_function(detail::withRoute(&route, body),
                                   py::name(route.function().c_str()), extra...));
}

}  // namespace lumetra::bindings
