"""Serve the explorer dashboard for a directory of trace files.

    python -m lumetra explore [DIR] [--results OUT] [--port PORT] [--address ADDRESS]
                              [--no-show] [--format F] [--signal S] [--gamma G] ... [--no-cut]

Without DIR the bundled example traces are served. With --results OUT, the output directory of
`lumetra fit`, the results page (lumetra.cli.results_page) is served instead, or, when DIR is
given too, as the first of two tabs, the explorer the second. A directory with files of other
formats (two-colour files, files of several traces) is converted first, one single-channel trace
file per trace (FRET efficiency by default, cut at photobleaching), into the state directory, and
the dashboard serves that. The dashboard module reads its data
directory from "explorerDir.pickle" in the working directory when it is imported; this command
writes that file into its own state directory, $XDG_STATE_HOME/lumetra/explorer/ (by default
~/.local/state/lumetra/explorer/), and serves from there, so the statistics module's debug.log
lands there too. Every browser session gets its own explorer with its own trace object (an
explorer class of its own, `session_class`), so sessions showing different files do not touch
each other's trace; the dashboard class's shared trace object is left to code that composes
the page itself. An address other than a loopback one is warned of on standard error: the page
has no login and runs fits on request.
"""

from __future__ import annotations

import argparse
import importlib.resources
import ipaddress
import logging
import os
import pickle
import socket
import sys
import webbrowser
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from lumetra.cli.options import add_signal_options, failure, signal_options, warn
from lumetra.io.prepare import SignalOptions

if TYPE_CHECKING:
    # Only now: the dashboard module reads the settings file of the working directory when it
    # is imported.
    import panel as pn

    from lumetra.nsLumetraPlotly import fretExplorer

SETTINGS_FILE = "explorerDir.pickle"
SIDEBAR_WIDTH = 330
FIGURE_HEIGHT = 950  # the height the dashboard gives its figure


def bundled_traces_dir() -> Path:
    """The example traces installed with the package."""
    return Path(str(importlib.resources.files("lumetra") / "examples" / "traces"))


def state_dir() -> Path:
    """Where the dashboard's settings file and log live."""
    base = os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state"
    return Path(base) / "lumetra" / "explorer"


def trace_files(data_dir: str | os.PathLike[str]) -> list[Path]:
    """Regular files of the directory, sorted; trace files (*.txt) first."""
    files = sorted(p for p in Path(data_dir).iterdir() if p.is_file())
    return [p for p in files if p.suffix == ".txt"] + [p for p in files if p.suffix != ".txt"]


def needs_conversion(files: list[Path], options: SignalOptions) -> bool:
    """Whether any file is in another format than the single-channel one the trace object
    loads, or the options ask for another signal than the intensity as it stands."""
    from lumetra.io import TraceFormatError, detect_format, single_channel

    plain = SignalOptions(frame_time=options.frame_time, cut=options.cut)
    if options != plain:
        return True
    for path in files:
        try:
            if detect_format(path) != single_channel.FORMAT:
                return True
        except (TraceFormatError, OSError):
            pass  # left to loadData, as any file it cannot tell
    return False


def converted_dir(data_dir: Path, files: list[Path], options: SignalOptions) -> Path:
    """A directory of single-channel trace files, one per trace of the files of `data_dir`,
    in the state directory: what the dashboard's trace object loads. Rebuilt on every start;
    files that cannot be converted are named on standard error and left out."""
    import hashlib
    import shutil

    from lumetra.io.convert import convert_files

    key = hashlib.sha256(f"{data_dir}\0{options.record()}".encode()).hexdigest()[:16]
    target = state_dir() / "converted" / f"{data_dir.name}-{key}"
    shutil.rmtree(target, ignore_errors=True)
    written, failures = convert_files(files, target, options)
    for path, error in failures.items():
        warn("explore", f"left out {path}: {error}")
    print(f"{len(written)} trace(s) of {len(files)} file(s) converted into {target}", flush=True)
    return target


def free_port(address: str) -> int:
    """A port that nothing listens on now (the websocket origins must name the port)."""
    with socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET) as probe:
        probe.bind((address, 0))
        port: int = probe.getsockname()[1]
        return port


def loopback_only(address: str) -> bool:
    """Whether listening on `address` (an IP address or a host name) serves this machine alone."""
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:  # a host name, or "" for every interface
        pass
    try:
        found = {info[4][0] for info in socket.getaddrinfo(address, None)} if address else set()
    except OSError:
        return False
    return bool(found) and all(
        ipaddress.ip_address(str(a).split("%")[0]).is_loopback for a in found
    )


def warn_if_reachable(address: str, port: int) -> None:
    """Says on standard error when the page can be opened from other machines."""
    if not loopback_only(address):
        warn(
            "explore",
            f"warning: listening on {address or 'every interface'}, port {port}: the page is "
            "reachable from other machines, without a login; anyone who opens it sees the "
            "traces and results served and has fits run on this machine. --address 127.0.0.1 "
            "serves this machine alone.",
        )


def write_settings(data_dir: str | os.PathLike[str], directory: Path) -> Path:
    """Writes the settings file for `data_dir` into `directory` and returns its path.

    The dashboard lists its files with the pattern directory + "*", so the stored path is
    absolute and ends with a separator.
    """
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / SETTINGS_FILE
    with open(path, "wb") as file:
        pickle.dump(os.path.join(os.path.abspath(data_dir), ""), file)
    return path


def quiet_libraries() -> None:
    """Keeps the server's libraries to warnings: the statistics module sets the root logger to
    DEBUG, which would fill the console and debug.log with their chatter."""
    for name in ("asyncio", "bokeh", "markdown_it", "tornado"):
        logging.getLogger(name).setLevel(logging.WARNING)


def session_class(explorer_class: type[fretExplorer]) -> type[fretExplorer]:
    """A subclass of the dashboard class whose trace object belongs to one browser session:
    the class attribute `tf` of the dashboard is shared by every explorer of the process."""
    from lumetra.lumetraTrace import lumetraTrace

    return type(explorer_class.__name__, (explorer_class,), {"tf": lumetraTrace()})


def build_page(explorer_class: type[fretExplorer], first_file: Path) -> pn.Column:
    """The page of one browser session: parameters and segments beside the figure, the
    optional refined path below. The session's explorer fits a trace object of its own."""
    import panel as pn  # a heavy import, only for serving

    from lumetra.cli.refined_panel import RefinedPanel

    explorer = session_class(explorer_class)(str(first_file))
    controls = pn.Param(
        explorer.param,
        parameters=["fileName", "halfWindowsLen", "rratio", "thrate", "filterWidth", "button"],
        # Sliders with a number box: fit parameters are often typed to three decimals.
        widgets={
            "halfWindowsLen": pn.widgets.EditableIntSlider,
            "rratio": {"type": pn.widgets.EditableFloatSlider, "step": 0.001},
            "thrate": {"type": pn.widgets.EditableFloatSlider, "step": 0.001},
            "filterWidth": pn.widgets.EditableIntSlider,
        },
        name="Fit parameters",
        width=SIDEBAR_WIDTH,
    )
    explorer.stream_table.width = SIDEBAR_WIDTH
    sidebar = pn.Column(
        controls,
        pn.pane.Markdown(
            "### Segments\nOne group per build, newest first: first and end frame, spread "
            "(the last row of a group holds the negated fit score).",
            width=SIDEBAR_WIDTH,
        ),
        explorer.stream_table,
        width=SIDEBAR_WIDTH + 10,
    )
    # The figure pane stretches both ways (responsive plotly), and so must its parents.
    figure = pn.panel(explorer.plot, sizing_mode="stretch_both", min_height=FIGURE_HEIGHT)
    return pn.Column(
        pn.pane.Markdown("## lumetra explorer: step fit of a FRET trace"),
        pn.Row(sidebar, figure, sizing_mode="stretch_both", min_height=FIGURE_HEIGHT),
        RefinedPanel(explorer).layout,
        sizing_mode="stretch_both",
    )


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "directory",
        nargs="?",
        metavar="DIR",
        help="directory of trace files (default: the bundled example traces)",
    )
    parser.add_argument(
        "--results",
        metavar="OUT",
        help="serve the results page of this output directory of lumetra fit",
    )
    add_serving_options(parser)
    add_signal_options(parser)


def add_serving_options(parser: argparse.ArgumentParser) -> None:
    """Where the page is served and whether a browser opens it."""
    parser.add_argument(
        "--port", type=int, default=5006, help="port to listen on, 0 for any free one (5006)"
    )
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    parser.add_argument(
        "--no-show", dest="show", action="store_false", help="do not open a browser"
    )


def explorer_page(args: argparse.Namespace) -> Callable[[], pn.viewable.Viewable]:
    """Writes the explorer's settings, moves into its state directory and returns the builder
    of its page."""
    data_dir = Path(args.directory).resolve() if args.directory else bundled_traces_dir()
    if not data_dir.is_dir():
        raise failure("explore", f"{data_dir} is not a directory")
    files = trace_files(data_dir)
    if not files:
        raise failure("explore", f"no files in {data_dir}")
    options = signal_options(args, "explore")
    if needs_conversion(files, options):
        data_dir = converted_dir(data_dir, files, options)
        files = trace_files(data_dir)
        if not files:
            raise failure("explore", f"no trace could be converted from {args.directory}")

    settings = write_settings(data_dir, state_dir())
    os.chdir(settings.parent)
    # Only now: the dashboard module reads the settings file of the working directory when it
    # is imported.
    from lumetra.nsLumetraPlotly import fretExplorer

    print(f"Traces from {data_dir}; settings and log in {settings.parent}", flush=True)
    return lambda: build_page(fretExplorer, files[0])


def results_page(directory: str) -> Callable[[], pn.viewable.Viewable]:
    from lumetra.cli.results_page import build_results_page
    from lumetra.results.folder import load_folder

    try:
        folder = load_folder(Path(directory).resolve())
    except (ValueError, OSError) as error:
        raise failure("explore", str(error)) from error
    # The statistics module, which the kinetics import, appends its log to the working
    # directory's debug.log: that of the state directory, as for the explorer.
    state_dir().mkdir(parents=True, exist_ok=True)
    os.chdir(state_dir())
    print(f"Results of {len(folder.names)} traces from {folder.root}", flush=True)
    return lambda: build_results_page(folder)


def page_of(args: argparse.Namespace) -> Callable[[], pn.viewable.Viewable]:
    """The builder of one session's page: the explorer, the results page, or both as tabs."""
    import panel as pn

    if args.directory:  # before either page moves into the state directory
        args.directory = str(Path(args.directory).resolve())
    if args.results and not args.directory:
        return results_page(args.results)
    results = results_page(args.results) if args.results else None
    explorer = explorer_page(args)
    if results is None:
        return explorer
    return lambda: pn.Tabs(("Results", results()), ("Explorer", explorer()), dynamic=True)


def run(args: argparse.Namespace, note: str = "") -> int:
    """Serves the page until Ctrl-C; `note` is printed under the address."""
    import panel as pn

    page = page_of(args)
    quiet_libraries()

    port = args.port or free_port(args.address)
    warn_if_reachable(args.address, port)
    host = f"[{args.address}]" if ":" in args.address else args.address
    server = pn.serve(
        page,
        address=args.address,
        port=port,
        websocket_origin=[f"{name}:{port}" for name in {host, "localhost", "127.0.0.1"}],
        title="lumetra results" if args.results and not args.directory else "lumetra explorer",
        show=False,
        start=False,
        verbose=False,
    )
    server.start()
    url = f"http://{host}:{port}/"
    print(f"Serving the dashboard at {url}", flush=True)
    if note:
        print(note, flush=True)
    if args.show:
        server.io_loop.add_callback(webbrowser.open, url)
    try:
        server.io_loop.start()
    except KeyboardInterrupt:
        print("Stopped.", file=sys.stderr)
    return 0
