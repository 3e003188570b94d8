"""Small helpers shared by the test modules."""

import warnings

from lumetra.batchcore import FIT_ATTRIBUTES


def outcome(function, *args):
    """The result of a call, or the type of the exception it raised."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return function(*args)
    except Exception as error:  # noqa: BLE001 - the type is what gets compared
        return type(error)


# The attributes a fit writes, in the order it writes them.
FIT_RESULTS = list(FIT_ATTRIBUTES)
