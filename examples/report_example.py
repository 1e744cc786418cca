"""A bench test report: a Tcl instrument library driven from Python.

examples/labkit.tcl is the kind of Tcl procedure library a lab keeps: the
namespace ::lab::psu drives a (simulated) three-channel power supply, with
per-channel state in an array, procedures with default arguments and options,
and measurements returned as TclX keyed lists.  This script runs a test plan
against it and prints a report, using every module of trelmo.tcl:

* namespace -- TclNamespace and its views to load, inspect and read the
  library; TclCommand handles with a cast;
  TclArrayVariable for the state array; TempTclCommand for a Python callback
  that Tcl runs on every sample; TempTclNamespace for a scratch calculation;
* dorvel    -- measurements read as Dorvel keyed lists, limits sent as one;
* vix       -- quick calls for the configuration steps;
* history   -- a marker per channel, and the call log as a replay script;
* quoml     -- Tcl text for the replay script and the scratch data.

Run it with `python examples/report_example.py` (or `make demo`).
"""

import os
import sys
from tkinter import TclError

from trelmo.tcl import (
    Dorvel,
    Interpreter,
    TclNamespace,
    TempTclCommand,
    TempTclNamespace,
    quoml,
)

LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "labkit.tcl")

# The test plan: what to set on each channel, the load it drives, and the
# limits its output voltage must meet.
PLAN = [
    {"channel": 1, "voltage": 5.0, "current": 0.5, "load": 20.0, "tolerance": 0.01},
    {"channel": 2, "voltage": 12.0, "current": 0.25, "load": 24.0, "tolerance": 0.01},
    {"channel": 3, "voltage": 3.3, "current": 1.0, "load": 6.6, "tolerance": 0.005},
]


def describe_procedures(psu):
    """The library's procedures with their arguments and defaults, as Tcl would write them."""
    lines = []
    for name in sorted(psu.procs):
        words = []
        for arg in psu.procs.proc_args(name):
            default = psu.procs.proc_arg_default(name, arg)
            words.append(arg if default is None else quoml([arg, default]))
        lines.append("  %-10s %s" % (name, " ".join("{%s}" % w if " " in w else w for w in words)))
    return lines


def run(tcl, out=print):
    tcl.tk.call("source", LIBRARY)
    psu = TclNamespace("::lab::psu", tcl)
    state = psu.vars.array_byref("state")  # a TclArrayVariable: a mapping over the Tcl array

    out("Bench report: %s, %s (labkit %s)" % (psu.vars["model"], psu.vars["serial"], tcl.vars["::lab::version"]))
    out("=" * 72)
    out("Library procedures in %s:" % psu)
    for line in describe_procedures(psu):
        out(line)
    out("")

    # Tcl calls back into Python for every sample: a temporary command that
    # exists for the duration of the run.
    samples = []

    def on_sample(channel, index, volts, amps):
        samples.append((int(channel), int(index), float(volts), float(amps)))

    measure = psu.cmds.byref("measure", cast=Dorvel.from_tcl)  # results as keyed lists
    check = psu.cmds["check"]
    rows = []
    with TempTclCommand(on_sample, tcl=tcl) as hook:
        psu.vars["on_sample"] = hook  # the variable holds the command's name
        for step in PLAN:
            ch = step["channel"]
            tcl.history.start_marker("channel %d" % ch)
            settings = tcl.vix.lab.psu.configure(ch, voltage=step["voltage"], current=step["current"], load=step["load"])
            tcl.vix.lab.psu.output(ch)
            reading = measure(ch, 8)
            limits = Dorvel(voltage=step["voltage"], tolerance=step["tolerance"])
            verdict = check(reading, limits)  # the Dorvel goes to Tcl as a keyed list
            tcl.history.end_marker("channel %d" % ch)
            rows.append((step, Dorvel.from_tcl(settings), reading, verdict))
        psu.vars["on_sample"] = ""

    out("%-3s %8s %8s %8s %9s %9s %9s %4s  %s" % ("ch", "set V", "limit A", "load", "mean V", "min V", "max V", "mode", "verdict"))
    for step, settings, reading, verdict in rows:
        out(
            "%-3s %8.2f %8.2f %8.1f %9.4f %9.4f %9.4f %4s  %s"
            % (
                settings["channel"],
                float(settings["voltage"]),
                float(settings["current"]),
                step["load"],
                float(reading["volts.mean"]),
                float(reading["volts.min"]),
                float(reading["volts.max"]),
                reading["mode"],
                verdict,
            )
        )
    out("")
    out("Channel 1's reading as Tcl sees it (a TclX keyed list):")
    out("  " + quoml(rows[0][2]))
    out("")
    out("Channel state (array %s):" % state)
    for ch in sorted({key.split(",")[0] for key in state}):
        out("  channel %s: %s" % (ch, ", ".join("%s=%s" % (k, state["%s,%s" % (ch, k)]) for k in ("voltage", "current", "load", "output"))))
    out("")

    # Total power over all samples, worked out in Tcl in a scratch namespace
    # that is gone afterwards.
    with TempTclNamespace(tcl=tcl) as scratch:
        scratch.vars["volts"] = quoml([s[2] for s in samples])
        scratch.vars["amps"] = quoml([s[3] for s in samples])
        scratch.eval("variable volts; variable amps; variable watts 0.0")
        scratch.eval("foreach v $volts a $amps {set watts [expr {$watts + $v * $a}]}")
        watts = float(scratch.vars["watts"]) / 8
    out("Samples received in Python: %d; mean total power %.3f W" % (len(samples), watts))

    # A mistake in the plan: the quick call brings back Tcl's whole error trace.
    try:
        tcl.vix.lab.psu.configure(4, voltage=1.0)
    except TclError as e:
        first, _, rest = str(e).partition("\n")
        out("Configuring channel 4 failed: %s" % first)
        out("  (Tcl's trace has %d more lines)" % len(rest.splitlines()))
    out("")

    out("Quick calls recorded for channel 2 (from the call history):")
    for entry in tcl.history.filter("channel 2", count=0):
        out("  " + entry.api)
    failed = [row[0]["channel"] for row in rows if row[3] != "PASS"]
    out("")
    out("Result: %d of %d channels pass%s" % (
        len(rows) - len(failed), len(rows), "" if not failed else " (failed: %s)" % quoml(failed)))
    return rows


TITLE = "A bench test report: a Tcl instrument library driven from Python"


def main():
    print("=" * 72)
    print(TITLE)
    print("=" * 72)
    tcl = Interpreter()  # kept alive until the handles made in run() are gone
    run(tcl)
    return 0


if __name__ == "__main__":
    sys.exit(main())
