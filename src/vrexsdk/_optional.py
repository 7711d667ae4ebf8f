"""Optional dependencies, imported when a feature first needs them."""

import importlib
from typing import Any


def optional(name: str, hint: str) -> Any:
    """The module `name`; without it, ModuleNotFoundError with `hint` (what needs it and the pip command)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise ModuleNotFoundError(hint) from None
