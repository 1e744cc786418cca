"""Timing helpers shared by the benchmarks: best-of-N per-call times."""

import timeit


def per_call(fn, number=None, repeat=7):
    """Best per-call time of ``fn()`` in seconds (auto-ranged like timeit)."""
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number
