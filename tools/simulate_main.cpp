// lumetra-simulate: writes a simulated step trace with Gaussian noise as a tab-separated file.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "simulate.hpp"

namespace {

constexpr int kExitRuntimeError = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: lumetra-simulate --levels L1,L2[,...] --dwell D1,D2[,...] --noise SIGMA\n"
    "                        --frames N [--step DT] --seed SEED [--out FILE]\n"
    "\n"
    "Simulates a single-molecule intensity trace that steps between the given levels, with\n"
    "exponentially distributed dwell times and additive Gaussian noise, and writes it as\n"
    "tab-separated text with the header \"Frame/10<TAB>CH1-BGND1<TAB>Ideal\" and one line per\n"
    "frame (time, noisy intensity, noiseless level). The same arguments always give the same "
    "file.\n"
    "\n"
    "  --levels L1,L2,...  intensity of each level (one or more numbers)\n"
    "  --dwell D1,D2,...   mean dwell time of each level in frames (> 0, one per level)\n"
    "  --noise SIGMA       standard deviation of the Gaussian noise (>= 0)\n"
    "  --frames N          number of frames (>= 1)\n"
    "  --step DT           time between frames (> 0, default 0.1)\n"
    "  --seed SEED         random seed (integer, 0 to 18446744073709551615)\n"
    "  --out FILE          output file (default: standard output)\n"
    "  --help              show this help and exit\n"
    "\n"
    "Options take their value as the next argument or after '=' (--frames=2000).\n"
    "Exit status: 0 on success, 1 if the output cannot be written, 2 on bad arguments.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

double parseDouble(std::string_view option, std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) {
    throw UsageError(std::string(option) + ": '" + std::string(text) + "' is not a finite number");
  }
  return v;
}

std::uint64_t parseUnsigned(std::string_view option, std::string_view text) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw UsageError(std::string(option) + ": '" + std::string(text) +
                     "' is not a non-negative integer in range");
  }
  return v;
}

std::vector<double> parseList(std::string_view option, std::string_view text) {
  std::vector<double> values;
  for (;;) {
    const std::size_t comma = text.find(',');
    values.push_back(parseDouble(option, text.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return values;
}

struct Options {
  lumetra::SimulationSettings settings;
  std::optional<std::string> out;
  bool help = false;
};

Options parseArguments(int argc, char** argv) {
  static const std::vector<std::string_view> kKnown = {"--levels", "--dwell", "--noise", "--frames",
                                                       "--step",   "--seed",  "--out"};
  std::map<std::string_view, std::string_view> values;
  Options opts;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      opts.help = true;
      return opts;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const std::size_t eq = arg.find('=');
        arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    bool known = false;
    for (std::string_view k : kKnown) known = known || k == name;
    if (!known) throw UsageError("unknown argument '" + std::string(arg) + "'");
    if (values.count(name) != 0) throw UsageError(std::string(name) + " given more than once");
    if (!value) {
      if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
      value = std::string_view(argv[++i]);
    }
    values[name] = *value;
  }

  for (std::string_view required : {"--levels", "--dwell", "--noise", "--frames", "--seed"}) {
    if (values.count(required) == 0) {
      throw UsageError("missing required option " + std::string(required));
    }
  }
  lumetra::SimulationSettings& s = opts.settings;
  s.levels = parseList("--levels", values["--levels"]);
  s.meanDwell = parseList("--dwell", values["--dwell"]);
  s.noiseSigma = parseDouble("--noise", values["--noise"]);
  const std::uint64_t frames = parseUnsigned("--frames", values["--frames"]);
  if (frames > SIZE_MAX) throw UsageError("--frames: value too large");
  s.frames = static_cast<std::size_t>(frames);
  if (values.count("--step") != 0) s.frameStep = parseDouble("--step", values["--step"]);
  s.seed = parseUnsigned("--seed", values["--seed"]);
  // Checked here as well as in the simulator so that messages name the command-line options.
  if (s.meanDwell.size() != s.levels.size()) {
    throw UsageError("--dwell has " + std::to_string(s.meanDwell.size()) +
                     " value(s) but --levels has " + std::to_string(s.levels.size()) +
                     "; give one mean dwell per level");
  }
  for (double d : s.meanDwell) {
    if (!(d > 0)) {
      throw UsageError("--dwell: mean dwell times must be > 0 (got " +
                       std::string(values["--dwell"]) + ")");
    }
  }
  if (s.noiseSigma < 0) {
    throw UsageError("--noise: must be >= 0 (got " + std::string(values["--noise"]) + ")");
  }
  if (s.frames == 0) throw UsageError("--frames: must be at least 1");
  if (!(s.frameStep > 0)) {
    throw UsageError("--step: must be > 0 (got " + std::string(values["--step"]) + ")");
  }
  if (values.count("--out") != 0) {
    if (values["--out"].empty()) throw UsageError("--out needs a file name");
    opts.out = std::string(values["--out"]);
  }
  return opts;
}

}  // namespace

int main(int argc, char** argv) {
  Options opts;
  lumetra::SimulatedTrace trace;
  try {
    opts = parseArguments(argc, argv);
    if (opts.help) {
      std::cout << kUsage;
      return 0;
    }
    trace = lumetra::simulateTrace(opts.settings);
  } catch (const std::invalid_argument& e) {  // settings rejected by the simulator
    std::cerr << "lumetra-simulate: " << e.what() << "\nTry 'lumetra-simulate --help'.\n";
    return kExitUsage;
  } catch (const UsageError& e) {
    std::cerr << "lumetra-simulate: " << e.what() << "\nTry 'lumetra-simulate --help'.\n";
    return kExitUsage;
  } catch (const std::exception& e) {  // e.g. too many frames to hold in memory
    std::cerr << "lumetra-simulate: " << e.what() << '\n';
    return kExitRuntimeError;
  }

  try {
    if (opts.out) {
      std::ofstream file(*opts.out, std::ios::binary);
      if (!file) throw std::runtime_error("cannot open '" + *opts.out + "' for writing");
      lumetra::writeTraceFile(file, trace);
      file.close();
      if (!file) throw std::runtime_error("writing '" + *opts.out + "' failed");
    } else {
      lumetra::writeTraceFile(std::cout, trace);
      std::cout.flush();
      if (!std::cout) throw std::runtime_error("writing to standard output failed");
    }
  } catch (const std::exception& e) {
    std::cerr << "lumetra-simulate: " << e.what() << '\n';
    return kExitRuntimeError;
  }
  return 0;
}
