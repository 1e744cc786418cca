"""trelmo: Python tooling around Tcl.  The Tcl bridge lives in :mod:`trelmo.tcl`."""
