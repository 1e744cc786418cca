"""Clock and other small helpers."""

import datetime

__all__ = ["get_time"]


def get_time() -> datetime.datetime:
    """Return the local date and time now (a naive ``datetime``)."""
    return datetime.datetime.now()
