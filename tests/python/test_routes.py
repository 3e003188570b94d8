"""Routes: every routed function's route is bound and intact once its module is imported, and a
function that calls others by name calls exactly the ones its route lists, taking its
call-by-call body (so calling the replacement) when any one of them is replaced."""

import importlib
import json
import types
from pathlib import Path

from lumetra import lumetraTrace
from lumetra.lumetraTrace import lumetraTrace as Trace

ROUTED_MODULES = ["dataStatsCalac", "lumetraTrace", "nsLumetraPlotly"]
TRACE = Path(__file__).resolve().parents[2] / "examples" / "traces" / "two_level_short_noisy.txt"
XIC = lumetraTrace.xic  # the module's own, whatever a test replaces


def fit():
    trace = Trace()
    trace.loadData(str(TRACE))
    return trace.fitTrajectory(9, 0.177, 0.2, 0)  # six partitions, every candidate tested


def score():
    trace = Trace()
    trace.loadData(str(TRACE))
    partitions = [[0, 200, 0], [200, 400, 1], [400, 600, 2]]
    return XIC(partitions, trace.CH1mBGND1, [[190, 210, 0], [390, 410, 1]], 9)


# How to run each function whose route lists callees, by module and name.
CALLERS = {("lumetra.lumetraTrace", "fitTrajectory"): fit, ("lumetra.lumetraTrace", "xic"): score}


def test_every_route_is_bound_and_intact_after_import(run_python):
    # The explorer module imports only where explorerDir.pickle names its data directory.
    result = run_python(f"""
        import importlib, json, os, pickle
        with open("explorerDir.pickle", "wb") as out:
            pickle.dump(os.getcwd() + os.sep, out)
        routes = {{m: importlib.import_module("lumetra." + m)._routes() for m in {ROUTED_MODULES}}}
        print(json.dumps(routes))
    """)
    assert result.returncode == 0, result.stderr
    routes = json.loads(result.stdout.splitlines()[-1])
    for module in ROUTED_MODULES:
        assert routes[module], module
        broken = {
            f for f, state in routes[module].items() if not (state["bound"] and state["intact"])
        }
        assert not broken, (module, broken)


def functions_reached_from(module):
    """The module's functions and those of the package modules it names, as it names them."""
    reached = {}
    for prefix, owner in [("", module)] + [
        (name + ".", value)
        for name, value in vars(module).items()
        if isinstance(value, types.ModuleType) and value.__name__.startswith("lumetra.")
    ]:
        for name, value in vars(owner).items():
            if isinstance(value, types.BuiltinFunctionType) and not name.startswith("_"):
                reached[prefix + name] = (owner, name)
    return reached


class Recorder:
    """Wraps functions, noting those called from outside every wrapped function."""

    def __init__(self):
        self.direct, self.depth = set(), 0

    def wrap(self, label, original):
        def wrapper(*args, **kwargs):
            if self.depth == 0:
                self.direct.add(label)
            self.depth += 1
            try:
                return original(*args, **kwargs)
            finally:
                self.depth -= 1

        return wrapper


def test_callers_call_their_listed_callees_and_honour_a_replaced_one(monkeypatch):
    callers = {}
    for name in ROUTED_MODULES[:2]:  # the explorer's route lists no callee
        module = importlib.import_module("lumetra." + name)
        for function, state in module._routes().items():
            if state["calls"]:
                callers[module.__name__, function] = (module, set(state["calls"]))
    assert set(callers) == set(CALLERS)  # every caller is run below
    for key, (module, listed) in callers.items():
        run = CALLERS[key]
        expected = run()
        reached = functions_reached_from(module)

        # Every function it may call replaced: the calls it makes itself are the listed ones.
        recorder = Recorder()
        for label, (owner, name) in reached.items():
            monkeypatch.setattr(owner, name, recorder.wrap(label, getattr(owner, name)))
        assert run() == expected
        monkeypatch.undo()
        assert recorder.direct == listed, key

        # One replaced at a time: the call-by-call body runs and calls the replacement.
        for label in listed:
            owner, name = reached[label]
            recorder = Recorder()
            monkeypatch.setattr(owner, name, recorder.wrap(label, getattr(owner, name)))
            assert run() == expected
            monkeypatch.undo()
            assert recorder.direct == {label}, key
