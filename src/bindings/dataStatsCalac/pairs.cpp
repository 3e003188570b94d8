// Candidate pairs where a series runs above its threshold, the width filter, and the partitions
// between the accepted pairs.
#include "pairs.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "python.hpp"

namespace lumetra::bindings::stats {

namespace {

// Bounds that the core's index arithmetic takes without overflow.
constexpr long long kSmallInteger = 1LL << 60;

// An integer small enough that sums of a few of them cannot overflow; nothing otherwise (a
// float, a huge integer), for the formula to compute exactly.
std::optional<std::ptrdiff_t> smallInteger(py::handle value) {
  const auto v = exactInteger(value, IndexFailure::raise);
  if (!v || *v > kSmallInteger || *v < -kSmallInteger) return std::nullopt;
  return static_cast<std::ptrdiff_t>(*v);
}

py::list newTriple(py::object start, py::object end, py::object seq) {
  py::list triple;
  triple.append(std::move(start));
  triple.append(std::move(end));
  triple.append(std::move(seq));
  return triple;
}

// genPartitions on Python numbers, for bounds the core does not take.
py::list genPartitionsFormula(py::object pairs, py::object halfWinLen, py::object dataLen) {
  py::list partitions;
  const auto count = static_cast<Py_ssize_t>(py::len(pairs));
  py::object windowsLen = halfWinLen * py::int_(2) + py::int_(1);
  Py_ssize_t idx = 0;
  partitions.append(newTriple(py::int_(0), item(item(pairs, 0), 0) + halfWinLen, py::int_(idx++)));
  for (Py_ssize_t i = 0; i + 1 < count; ++i) {
    py::object start = item(item(pairs, i), 1) + halfWinLen;
    partitions.append(newTriple(start, item(item(pairs, i + 1), 0) + halfWinLen, py::int_(idx++)));
  }
  py::object last = item(pairs, count - 1);
  py::object lastEnd = item(last, 1);
  if (lastEnd < dataLen - windowsLen) {
    partitions.append(newTriple(lastEnd + halfWinLen, dataLen, py::int_(idx)));
  } else {
    item(partitions, static_cast<Py_ssize_t>(py::len(partitions)) - 1)[py::int_(1)] = dataLen;
  }
  return partitions;
}

}  // namespace

py::list genPairs(py::object data, py::object th) {
  const std::vector<double> values = toDoubles(data);
  // With fewer than two samples nothing is compared with the threshold.
  const double threshold = values.size() < 2 ? 0.0 : toDouble(th);
  return tripleList(lumetra::genPairs(values, threshold));
}

py::list genPartitions(py::object pairs, py::object halfWinLen, py::object dataLen) {
  if (py::len(pairs) < 1) return py::list();
  std::vector<lumetra::Pair> converted;
  bool plain = true;
  for (py::handle p : pairs) {
    const auto start = smallInteger(item(p, 0));
    const auto end = smallInteger(item(p, 1));
    plain = plain && start && end;
    if (plain) converted.push_back({*start, *end, 0});
  }
  const auto h = smallInteger(halfWinLen);
  const auto length = smallInteger(dataLen);
  if (!plain || !h || !length) return genPartitionsFormula(pairs, halfWinLen, dataLen);
  return tripleList(lumetra::genPartitions(converted, *h, *length));
}

py::list chainFilters(py::object pairs, py::object halfWin, py::object /*dx*/, py::object th) {
  const int derived = PyObject_RichCompareBool(th.ptr(), py::int_(0).ptr(), Py_EQ);
  if (derived < 0) throw py::error_already_set();
  const double halfWinValue = derived ? toDouble(halfWin) : 0.0;
  std::vector<py::object> items;
  std::vector<double> widths;
  for (py::handle p : pairs) {
    py::object end = item(p, 1);
    py::object start = item(p, 0);
    widths.push_back(toDouble(end - start));
    items.push_back(py::reinterpret_borrow<py::object>(p));
  }
  const double limit = derived || items.empty() ? 0.0 : toDouble(th);
  py::list out;
  for (std::size_t i : lumetra::widePairPositions(widths, halfWinValue, limit)) {
    out.append(items[i]);
  }
  return out;
}

}  // namespace lumetra::bindings::stats
