"""Pure-Python History and Entry: the benchmark baseline for trelmo.tcl.history.

The same classes, written the plain way: the same attributes, log lines,
marker, clearing and filtering rules.
"""

import logging
import re
from collections import deque

from trelmo.utils.utils import get_time

log = logging.getLogger("trelmo.tcl")


class Entry(object):
    """One recorded call: timestamp and the call's text (api)."""

    def __init__(self, api):
        if not isinstance(api, str):
            api = " ".join(["{%s}" % i if " " in i else i for i in api])
        self.timestamp = get_time()
        self.api = api

    def __str__(self):
        return "%s: %s" % (self.timestamp.strftime("%Y-%m-%dT%H:%M:%S.%f"), self.api)

    def __repr__(self):
        return "<Entry '%s' at %s>" % (self.__str__(), hex(id(self)))


class History(object):
    """A bounded record of calls with named markers."""

    __MAX_HISTORY__ = 9999

    def __init__(self, max_history=__MAX_HISTORY__):
        self.__history__ = deque(maxlen=max_history)
        self.__markers__ = {}
        self.__activeMarkers__ = []
        self.enable()

    def enable(self):
        self.enabled = True
        log.debug("TclHistory is enabled.")

    def disable(self):
        self.enabled = False
        log.debug("TclHistory is disabled.")

    def append(self, item):
        log.debug("% " + str(item) if isinstance(item, tuple) else "%% %s" % item)
        if not self.enabled:
            return
        entry = Entry(item)
        self.__history__.append(entry)
        for marker in self.__activeMarkers__:
            self.__markers__[marker].append(entry)

    def clear(self, marker=None, clear_all=False):
        if clear_all:
            for entries in self.__markers__.values():
                entries.clear()
            self.__history__.clear()
        elif marker is None:
            self.__history__.clear()
        else:
            self.__markers__[marker].clear()

    def start_marker(self, marker):
        if marker not in self.__markers__:
            self.__markers__[marker] = deque(maxlen=self.__history__.maxlen)
        self.__activeMarkers__.append(marker)

    def end_marker(self, marker):
        self.__activeMarkers__.remove(marker)

    def filter(self, marker=None, count=20, regex=None):
        if marker is None:
            source = self.__history__
        else:
            try:
                source = self.__markers__[marker]
            except KeyError:
                raise Exception("No such marker: %s" % (marker,))
        entries = list(source)[-count:]
        if regex:
            compiled = re.compile(regex)
            entries = [e for e in entries if compiled.search(e.api)]
        return entries

    def __str__(self):
        return str(self.__history__)

    def __repr__(self):
        return repr(self.__history__)
