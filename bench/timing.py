"""Timing helpers shared by the benchmarks.

* ``per_call(fn)``: best-of-N per-call time of one callable.
* ``paired(ours, raw)``: ours over raw, timed in alternating short rounds so
  both see the same load on a shared machine.
* ``handle_ratios(make)``: the convention for a wrapper case, ours over raw
  with one handle and with ``HANDLES`` handles used round-robin;
  ``report_handles`` prints both against the bar.
"""

import timeit

HANDLES = 100  # handles of the round-robin measurement


def per_call(fn, number=None, repeat=7):
    """Best per-call time of ``fn()`` in seconds (auto-ranged like timeit)."""
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def _best_alternating(timers, number, rounds):
    """Best time of each timer over `rounds` rounds, each round running every timer once."""
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for k, t in enumerate(timers):
            best[k] = min(best[k], t.timeit(number))
    return best


def paired(ours, raw, rounds=21, number=None):
    """Best per-call time of ours over best per-call time of raw, timed in
    alternating short rounds so both see the same load on a shared machine."""
    t_ours, t_raw = timeit.Timer(ours), timeit.Timer(raw)
    if number is None:
        number = max(t_raw.autorange()[0] // 10, 1)
    best_ours, best_raw = _best_alternating([t_ours, t_raw], number, rounds)
    return best_ours / best_raw


def _loop(calls):
    return timeit.Timer("for f in calls: f()", globals={"calls": calls})


def handle_ratios(make, handles=HANDLES, rounds=21, number=None):
    """``(one, many)``: ours over raw with one handle, and with ``handles``
    handles used round-robin.

    ``make(i)`` returns ``(ours, raw)`` for the i-th handle: two callables
    without arguments, ``ours`` doing through the i-th handle (made by
    ``make``) what ``raw`` does with the bridge directly, on the i-th of
    ``handles`` names.  Both sides run as a loop over a list of ``handles``
    callables -- the first pair repeated for one handle, every pair in turn for
    many -- so the iteration costs the same on both sides and in both
    measurements; the four loops are timed in alternating rounds.
    """
    pairs = [make(i) for i in range(handles)]
    loops = [
        _loop([pairs[0][0]] * handles),
        _loop([pairs[0][1]] * handles),
        _loop([p[0] for p in pairs]),
        _loop([p[1] for p in pairs]),
    ]
    if number is None:
        number = max(loops[3].autorange()[0] // 10, 1)
    one_ours, one_raw, many_ours, many_raw = _best_alternating(loops, number, rounds)
    return one_ours / one_raw, many_ours / many_raw


def report_handles(report, name, make, bar, handles=HANDLES, **kwargs):
    """Measure ``handle_ratios(make)`` and report both ratios against ``bar`` (ours/raw, at most)."""
    one, many = handle_ratios(make, handles=handles, **kwargs)
    report("%s (1 handle)" % name, one, bar, "at most")
    report("%s (%d handles)" % (name, handles), many, bar, "at most")
    return one, many
