"""How much memory one request may take, checked before anything is allocated.

A size a user gives (bins, time bins from a width, a range over a tick,
events held at once) turns into arrays whose bytes are known before they
exist. `check` compares them with what this process can hold: half of the
machine's physical memory, and no more than half of the address space left
under its limit (``ulimit -v``), so that the answer is a refusal naming
the option instead of a killed process or an allocator's error.

>>> check("--bins", 1000, 8)
>>> budget() > 0
True
"""

from __future__ import annotations

import os
import resource

__all__ = ["OverBudget", "budget", "check", "described"]


class OverBudget(ValueError):
    """A request that would take more memory than this process can hold; the message names what asked."""


def _mapped_bytes() -> int:
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def _physical_bytes() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return 1 << 34  # a machine that does not say: assume 16 GiB


def budget() -> int:
    """The bytes one request may take now: half the memory, half of the address space left."""
    found = _physical_bytes() // 2
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        found = min(found, max(0, soft - _mapped_bytes()) // 2)
    return found


def described(count: float) -> str:
    """Bytes in the largest binary unit that keeps a leading digit: "1.5 GiB"."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if count < 1024 or unit == "PiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def check(what: str, count: float, item_bytes: int = 8) -> None:
    """Refuse `count` items of `item_bytes` each, asked for by `what` (an option), when over the budget.

    `count` may be a float (a range over a width), and may be infinite.
    """
    need = count * item_bytes
    limit = budget()
    if need <= limit:
        return
    if not need < float("inf"):  # NaN too
        raise OverBudget(f"{what} needs unbounded memory, more than the {described(limit)} this process may take")
    raise OverBudget(f"{what} needs {described(need)} ({count:,.0f} x {item_bytes} bytes), more than the "
                     f"{described(limit)} this process may take")
