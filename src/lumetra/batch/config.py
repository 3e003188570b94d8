"""What a trace's fit depends on besides the trace: one frozen object, checked when it is made
(so that bad options fail before any output folder is touched), handed whole to every worker
and written with the outputs.

    config = FitConfig(search={"halfWinLen": (5, 9, 1)}, criterion="bic", refine=True)
    config.record()        # as the file records and the manifest hold it

A new option of the fit is one field here (with its check in `__post_init__` and its place in
`record`), read where the fit uses it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, cast

from lumetra import batchcore
from lumetra.batch.records import plain
from lumetra.io.prepare import SignalOptions
from lumetra.stepfit import (
    SEARCH_ENGINES,
    Params,
    ParamsInput,
    check_criterion,
    check_engine,
    check_seed,
    normalise_params,
    search_arguments,
)

DEFAULT_ENGINE = SEARCH_ENGINES[0]  # lmfit's search, as optimizeFitness runs it
MODEL_ENGINE = SEARCH_ENGINES[1]  # the step fits that only seed the shared model: the native one


def engine_for(engine: str | None, modelled: bool) -> str:
    """The search engine asked for, or the default of the method: the native search for the
    step fits that seed the shared model, lmfit's for the classic kinetics."""
    return engine or (MODEL_ENGINE if modelled else DEFAULT_ENGINE)


@dataclass(frozen=True)
class FitConfig:
    """params: the four fit parameters (dict or sequence halfWinLen, rratio, thrate,
    filterWidth), None to search them per trace; search: bounds of that search, {parameter:
    (min, max, step)}, optimizeFitness's defaults for the others; criterion: score of the
    search, "xic" or "bic"; refine: segments and levels from refineTransitions; reading: how
    files are read and which signal is fitted; seed: of each trace's search (with its file's
    checksum and place, stepfit.search_seed); engine: "lmfit" or "native" (stepfit)."""

    params: Params | None = None
    search: Mapping[str, tuple[float, float, float]] = field(default_factory=dict)
    criterion: str = "xic"
    refine: bool = False
    reading: SignalOptions = field(default_factory=SignalOptions)
    seed: int | None = 0  # None: lmfit's search draws from numpy's global generator as it is
    engine: str = DEFAULT_ENGINE

    def __post_init__(self) -> None:
        fixed: ParamsInput | None = self.params
        object.__setattr__(self, "params", normalise_params(fixed))  # idempotent
        bounds = cast(
            "dict[str, tuple[float, float, float]]",
            {name: tuple(b) for name, b in dict(self.search or {}).items()},
        )
        search_arguments(bounds)  # unknown names refused; the values go to the search as given
        object.__setattr__(self, "search", bounds)
        check_criterion(self.criterion)
        object.__setattr__(self, "refine", bool(self.refine))
        if self.seed is not None:
            check_seed(self.seed)
        check_engine(self.engine)

    @property
    def searched(self) -> bool:
        return self.params is None

    def shortest_trace(self) -> int:
        """Frames a trace needs for one window of the fit: 2 halfWinLen + 1, with the smallest
        halfWinLen the search may try when the parameters are searched."""
        if self.params is not None:
            half = int(self.params["halfWinLen"])
        else:
            low = self.search.get("halfWinLen", batchcore.SEARCH_DEFAULTS["halfWinLen"])[0]
            half = max(1, round(low))
        return 2 * half + 1

    def record(self) -> dict[str, Any]:
        """What a trace's fit depends on besides the trace, as its file's record holds it (a
        record is reused only by a batch whose record of its options is the same)."""
        native = self.searched and self.engine != DEFAULT_ENGINE
        record = {
            **({"search_engine": self.engine} if native else {}),
            "parameters": self.params,
            "search": dict(self.search) if self.searched else None,
            "criterion": self.criterion,
            "refine": self.refine,
            "reading": self.reading.record(),
            "seed": self.seed if self.searched else None,
        }
        return plain(record)

    def manifest_options(self) -> dict[str, Any]:
        """The options the manifest names beside the parameters: the score and refinement
        where they are not xic's plain fit, the search's seed and engine."""
        options: dict[str, Any] = {}
        if self.criterion != "xic" or self.refine:
            options = {"criterion": self.criterion, "refine": self.refine}
        if self.searched:
            options["seed"] = self.seed
            if self.engine != DEFAULT_ENGINE:
                options["search_engine"] = self.engine
        return options
