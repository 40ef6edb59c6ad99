"""Optional peer libraries measured beside torvan; a missing one is skipped
with its reason printed, never silently."""

from __future__ import annotations

import importlib


def load(module: str):
    """Return (module, None) or (None, reason)."""
    try:
        return importlib.import_module(module), None
    except Exception as exc:  # noqa: BLE001 - any import failure means "skip with reason"
        return None, f"cannot import {module}: {type(exc).__name__}: {exc}"


ft_concurrency, FT_UTILS_MISSING = load("ft_utils.concurrency")
ft_synchronization, _ = load("ft_utils.synchronization")
cereggii, CEREGGII_MISSING = load("cereggii")
