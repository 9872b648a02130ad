"""The benchmarks' native helpers (_bridge_floor, _gil_probe): Python extension modules built
with -DOSTREL_BUILD_BENCH=ON into <build>/bench, beside the python/ directory _ostrel is
imported from, and never installed."""

import importlib
import os
import sys
from types import ModuleType
from typing import Optional

import _ostrel


def load_helper(name: str, directory: Optional[str] = None) -> Optional[ModuleType]:
    """The helper `name`, from `directory` or from <build>/bench beside the _ostrel in use; None
    when it was not built."""
    if directory is None:
        directory = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(_ostrel.__file__))), "bench")
    sys.path.insert(0, directory)
    try:
        return importlib.import_module(name)
    except ImportError:
        return None
    finally:
        sys.path.remove(directory)
