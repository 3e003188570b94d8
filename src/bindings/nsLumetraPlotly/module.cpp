// lumetra.nsLumetraPlotly: the explorer dashboard. Its class fretExplorer shows one trace
// file with every stage of the step fit drawn over it, refits on every change of its tuning
// parameters and keeps the fitted segments of every build in a results table.
#include "module.hpp"

#include <memory>
#include <optional>

#include "explorer_figure.hpp"
#include "explorer_parts.hpp"

namespace py = pybind11;
namespace lb = lumetra::bindings;
namespace ex = lumetra::bindings::explorer;
using namespace py::literals;

namespace {

constexpr const char* kMissingSettings =
    "\n Sorry! We can't find explorerDir.pickle. The app need explorerDir variable in "
    "explorerDir.pickle to define the directory that contains data!\n You need create this "
    "file before you import the module!";

// An unpickler that refuses every global, so that the settings file can only ever hold plain
// data (a directory path) and never makes loading it run code.
py::object makeSettingsUnpickler(const py::module_& m) {
  py::object pickle = m.attr("pickle");
  py::dict ns;
  ns["__doc__"] = "Reads plain data only: any global (and so any callable) is refused.";
  ns["find_class"] = lb::asMethod(py::cpp_function(
      [pickle](py::object /*self*/, py::object module, py::object name) -> py::object {
        py::object error = pickle.attr("UnpicklingError");
        PyErr_Format(error.ptr(),
                     "explorerDir.pickle may only hold the data directory as a string; "
                     "refusing to load the global %S.%S",
                     module.ptr(), name.ptr());
        throw py::error_already_set();
      },
      py::name("find_class"), py::arg("self"), py::arg("module"), py::arg("name")));
  return lb::makeClass("SettingsUnpickler", py::make_tuple(pickle.attr("Unpickler")), ns, m);
}

// The data directory stored in "explorerDir.pickle" in the working directory; nothing (after
// a message) when there is no such file.
std::optional<py::object> readExplorerDir(const py::module_& m) {
  py::object file;
  try {
    file = py::module_::import("builtins").attr("open")("explorerDir.pickle", "rb");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
    py::print(kMissingSettings);
    return std::nullopt;
  }
  py::object stream = file.attr("__enter__")();
  py::object value;
  try {
    value = makeSettingsUnpickler(m)(stream).attr("load")();
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("__exit__")(py::none(), py::none(), py::none());
  return value;
}

py::object makeExplorerClass(const py::module_& m) {
  py::object param = m.attr("param");
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "fretExplorer";
  ns["__doc__"] =
      "Interactive explorer of one trace file: tuning parameters as widgets, the fitted trace "
      "as a two-row figure (plot) and the segments of every build (stream_table).";

  const std::optional<py::object> explorerDir = readExplorerDir(m);
  if (explorerDir) ns["explorerDir"] = *explorerDir;
  ns["tf"] = m.attr("lumetraTrace").attr("lumetraTrace")();
  if (!explorerDir) {
    PyErr_SetString(PyExc_NameError, "name 'explorerDir' is not defined");
    throw py::error_already_set();
  }
  // The selector lists the files matching directory + "*". The directory is escaped, so that
  // one named "tr[1]" lists its own files, not those of "tr1"; a value that is no string
  // fails on the "+" as ever.
  py::object directory = *explorerDir;
  if (py::isinstance<py::str>(directory)) {
    directory = py::module_::import("glob").attr("escape")(directory);
  }
  ns["fileName"] = param.attr("FileSelector")("path"_a = directory + py::str("*"));
  ns["halfWindowsLen"] = param.attr("Integer")(9, "bounds"_a = py::make_tuple(5, 21));
  ns["rratio"] = param.attr("Number")(0.177, "bounds"_a = py::make_tuple(-1, 3));
  ns["thrate"] = param.attr("Number")(0.2, "bounds"_a = py::make_tuple(0, 1));
  ns["filterWidth"] = param.attr("Integer")(0, "bounds"_a = py::make_tuple(0, 21));
  ns["button"] = param.attr("Action")(
      py::cpp_function(
          [](py::object explorer) { explorer.attr("param").attr("trigger")("button"); },
          py::name("reset"), py::arg("explorer")),
      "label"_a = "reset param");

  auto cls = std::make_shared<py::object>();
  ex::addMethods(m, ns, cls);
  *cls = lb::makeClass("fretExplorer", py::make_tuple(param.attr("Parameterized")), ns, m);
  return *cls;
}

}  // namespace

LUMETRA_MODULE(nsLumetraPlotly, m) {
  m.attr("dt") = py::module_::import("datetime");
  m.attr("np") = py::module_::import("numpy");
  m.attr("go") = py::module_::import("plotly.graph_objects");
  m.attr("make_subplots") = py::module_::import("plotly.subplots").attr("make_subplots");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("pn") = py::module_::import("panel");
  m.attr("param") = py::module_::import("param");
  m.attr("pickle") = py::module_::import("pickle");
  m.attr("lumetraTrace") = py::module_::import("lumetra.lumetraTrace");
  m.attr("fretExplorer") = makeExplorerClass(m);
}
