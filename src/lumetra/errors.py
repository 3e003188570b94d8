"""The base of every exception lumetra's own Python code raises.

`except lumetra.LumetraError` catches them all; each keeps the built-in base it has always had
(TraceFormatError is a ValueError, OutputBusy and FitRejected are RuntimeErrors), so existing
handlers of those still catch it. The compiled modules raise the built-in exceptions only."""

from __future__ import annotations


class LumetraError(Exception):
    """An error of lumetra's own: a trace file that does not fit its format, an output folder
    in use, a rejected step fit."""
