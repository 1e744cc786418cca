"""A bounded history of Tcl interpreter calls with named markers (type stub of
the extension module trelmo.tcl.history)."""

import logging as logging
import os
import re as re
from collections import deque as deque
from datetime import datetime
from typing import Any, ClassVar, Dict, Hashable, Iterable, List, Optional, Tuple, Union

from trelmo.utils.utils import get_time as get_time

from .quoml import quoml as quoml

log: logging.Logger

class Entry:
    timestamp: datetime
    api: str
    words: Optional[Tuple[str, ...]]
    def __init__(self, api: Union[str, Iterable[str]]) -> None: ...

class History:
    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: Dict[Hashable, deque[Entry]]
    __activeMarkers__: List[Hashable]
    enabled: bool
    def __init__(self, max_history: Optional[int] = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: Any) -> None: ...
    def clear(self, marker: Optional[Hashable] = None, clear_all: Any = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(self, marker: Optional[Hashable] = None, count: int = 20, regex: Optional[str] = None) -> List[Entry]: ...
    def script(self, marker: Optional[Hashable] = None) -> str: ...
    def save(self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], marker: Optional[Hashable] = None) -> None: ...
