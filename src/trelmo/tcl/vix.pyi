"""Quick calls of Tcl commands as attribute chains (type stub of the extension
module trelmo.tcl.vix)."""

import weakref as weakref
from tkinter import TclError as TclError
from typing import Any, List, NoReturn

from .quoml import quoml as quoml

class Vix:
    tcl: Any
    def __init__(self, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> Vix_Code: ...
    def __call__(self, *args: Any, **kwargs: Any) -> NoReturn: ...

class Vix_Code:
    tcl: Any
    cmd: List[str]
    def __init__(self, *cmd: str, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> Vix_Code: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
