// lumetra.bootstrap: the import hook that loads every submodule of the package from the
// one shared library that holds this module.
#include "module.hpp"

#include <memory>

namespace py = pybind11;
using lumetra::bindings::asMethod;
using lumetra::bindings::makeClass;

LUMETRA_MODULE(bootstrap, m) {
  py::object sys = py::module_::import("sys");
  py::object importlib = py::module_::import("importlib");
  py::module_::import("importlib.abc");
  // find_spec reaches these through `importlib`; make sure they are loaded.
  py::module_::import("importlib.machinery");
  py::module_::import("importlib.util");
  m.attr("sys") = sys;
  m.attr("importlib") = importlib;

  auto finderClass = std::make_shared<py::object>();
  py::dict ns;
  ns["__init__"] = asMethod(
      py::cpp_function(
          [finderClass](py::object self, py::object name_filter) {
            py::module_::import("builtins").attr("super")(*finderClass, self).attr("__init__")();
            self.attr("name_filter") = name_filter;
          },
          py::name("finder_init"), py::arg("self"), py::arg("name_filter")),
      "__init__");
  py::object module = m;
  ns["find_spec"] = asMethod(py::cpp_function(
      [module](py::object self, py::object fullname, py::object, py::object) -> py::object {
        if (!py::bool_(fullname.attr("startswith")(self.attr("name_filter")))) return py::none();
        py::object lib = module.attr("importlib");
        py::object loader =
            lib.attr("machinery").attr("ExtensionFileLoader")(fullname, module.attr("__file__"));
        return lib.attr("util").attr("spec_from_loader")(fullname, loader);
      },
      py::name("find_spec"), py::arg("self"), py::arg("fullname"), py::arg("path"),
      py::arg("target") = py::none()));
  *finderClass = makeClass("PackageMetaPathFinder",
                           py::make_tuple(importlib.attr("abc").attr("MetaPathFinder")), ns, m);
  m.attr("PackageMetaPathFinder") = *finderClass;

  m.def("bootstrap_submodules", [module]() {
    py::object finder = module.attr("PackageMetaPathFinder")("lumetra.");
    module.attr("sys").attr("meta_path").attr("append")(finder);
  });
}
