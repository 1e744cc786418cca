"""Clock and other small helpers."""

import datetime

__all__ = ["get_time"]

# The local date and time now, as a naive ``datetime``.  Bound directly to the
# C method so that taking a timestamp costs no Python frame (the call history
# takes one per recorded call).
get_time = datetime.datetime.now
