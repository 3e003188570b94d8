"""The model's Viterbi paths as the batch and HmmResult read them: the level of every frame
worked out per path when it is read, and per-trace values placed among all the batch's traces."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, overload

import numpy.typing as npt

from lumetra.stepfit import IntArray


class Placed(Sequence[Any]):
    """`items[i]` of `picked[i]`, in the places of `total` (None elsewhere), read when indexed."""

    def __init__(self, items: Sequence[Any], picked: Sequence[int], total: int) -> None:
        self._where = dict(zip(picked, range(len(picked))))
        self._items, self._total = items, total

    def __len__(self) -> int:
        return self._total

    @overload
    def __getitem__(self, i: int) -> Any: ...
    @overload
    def __getitem__(self, i: slice) -> list[Any]: ...
    def __getitem__(self, i: int | slice) -> Any:
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(self._total))]
        if not -self._total <= i < self._total:
            raise IndexError(i)
        at = self._where.get(i % self._total)
        return None if at is None else self._items[at]


class PathLevels(Sequence[npt.NDArray[Any]]):
    """The level of every frame of each path (levels[path]: the levels' values, or their
    numbers), worked out when read."""

    def __init__(self, paths: list[IntArray], levels: npt.NDArray[Any]) -> None:
        self._paths, self._levels = paths, levels

    def __len__(self) -> int:
        return len(self._paths)

    @overload
    def __getitem__(self, i: int) -> npt.NDArray[Any]: ...
    @overload
    def __getitem__(self, i: slice) -> list[npt.NDArray[Any]]: ...
    def __getitem__(self, i: int | slice) -> npt.NDArray[Any] | list[npt.NDArray[Any]]:
        if isinstance(i, slice):
            return [self._levels[p] for p in self._paths[i]]
        return self._levels[self._paths[i]]
