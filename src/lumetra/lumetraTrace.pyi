# The trace object: one trace, its step fit, parameter search, level refinement and transition
# analysis; every result is a public attribute.
import os
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt
import pandas as pd
from lmfit import Minimizer as Minimizer
from lmfit import Parameters as Parameters

_Spans = Sequence[Sequence[int]]  # [start, end, number] items: pairs or partitions

class lumetraTrace:
    # Class attributes, shown until a method sets the object's own.
    stateNum: int
    keepPairs: list[list[int]] | None
    dwellTime: dict[Any, list[Any]]
    trimTails: list[int]  # one list shared by every object
    criterion: str  # score of the search and of _fitness: "xic" or "bic"
    # loadData
    frames: pd.Series
    CH1mBGND1: pd.Series
    fileName: str
    # fitTrajectory, in the order it writes them
    dataVar: list[float]
    dataNS: list[float]
    thresholdVar: float
    pairs: list[list[int]]
    newPairs: list[list[int]]
    thresholdNS: float
    pairs3: list[list[int]]
    integralDy: list[list[float]]
    thresholdBoolRR: list[bool]
    thresholdBoolNS: list[bool]
    rr: list[float]
    fr: list[float]
    partitions: list[list[int]]
    moments: list[float]
    # optimizeFitness: lmfit's MinimizerResult
    optRes: Any
    # finalPartitions
    means: list[float]
    # refineTransitions
    changePoints: list[int]
    idealPath: npt.NDArray[np.float64]
    # transitionStatistics: one list of transitions, or one per trace without mergeAll
    mergeAllTrace: bool
    trans0: list[Any]
    trans1: list[Any]

    def loadData(self, filename: str | os.PathLike[str] | TextIO) -> None: ...
    def fitTrajectory(
        self,
        halfWinLen: float,
        rratio: float,
        thrate: float,
        filterWidth: float,
        keepPairs: bool = False,
    ) -> float: ...
    def _fitness(self, params: Any) -> float: ...
    # Defaults: batchcore.SEARCH_DEFAULTS
    def optimizeFitness(
        self,
        sHalfWin: Sequence[float] = ...,
        sRR: Sequence[float] = ...,
        sThR: Sequence[float] = ...,
        sFilterW: Sequence[float] = ...,
        criterion: str = "xic",
    ) -> None: ...
    def refineTransitions(self) -> None: ...
    def mergeNeighbours(self) -> None: ...
    def finalPartitions(self) -> list[list[int]]: ...
    def transitionStatistics(
        self,
        xlsx: Any,
        tgtCol: str = "Idl",
        mergeAll: bool = True,
        trimTailsThreshold: float = -1,
    ) -> None: ...
    def getDwellTimeDict(self) -> OrderedDict[Any, list[Any]]: ...

def inPeakList(x: float, PeakList: _Spans) -> bool: ...
def xic(
    partitions: _Spans, CH1mBGND1: npt.ArrayLike, peakList: _Spans, halfWinLen: int
) -> float: ...
def bic(partitions: _Spans, CH1mBGND1: npt.ArrayLike) -> float: ...
def transitionDensityPlot(
    lumetraObj: lumetraTrace,
    binSize: float = 0.1,
    figSize: int = 600,
    i: int = 0,
    fret0: float = 0,
    fret1: float = 1,
) -> None: ...
