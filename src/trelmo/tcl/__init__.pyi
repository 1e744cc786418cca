"""Drive a Tcl interpreter from Python (type stub of the package module)."""

from typing import Any, Dict, List

import _tkinter

from .dorvel import Dorvel as Dorvel
from .history import History as History
from .namespace import TclArrayVariable as TclArrayVariable
from .namespace import TclCommand as TclCommand
from .namespace import TclNamespace as TclNamespace
from .namespace import TclVariable as TclVariable
from .namespace import TempTclArrayVariable as TempTclArrayVariable
from .namespace import TempTclCommand as TempTclCommand
from .namespace import TempTclNamespace as TempTclNamespace
from .namespace import TempTclVariable as TempTclVariable
from .quoml import quoml as quoml
from .quoml import tclobj as tclobj
from .vix import Vix as Vix

__all__ = [
    "Interpreter",
    "quoml",
    "tclobj",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
    "Dorvel",
    "TclNamespace",
    "TempTclNamespace",
    "TclVariable",
    "TempTclVariable",
    "TclArrayVariable",
    "TempTclArrayVariable",
    "TclCommand",
    "TempTclCommand",
    "History",
    "Vix",
]

class Interpreter:
    tk: _tkinter.TkappType
    def __init__(self) -> None: ...
    def cast_list(self, value: Any) -> List[Any]: ...
    def cast_boolean(self, value: Any) -> bool: ...
    def cast_array(self, value: Any) -> Dict[Any, Any]: ...
    def cast_any(self, value: Any) -> Any: ...
    @property
    def history(self) -> History: ...
    @property
    def vars(self) -> TclNamespace.VariablesView: ...
    @property
    def vix(self) -> Vix: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Interpreter: ...
    def __exit__(self, *exc_info: Any) -> None: ...
    def __del__(self) -> None: ...

def default_interpreter() -> Interpreter: ...
def cast_list(value: Any) -> List[Any]: ...
def cast_boolean(value: Any) -> bool: ...
def cast_array(value: Any) -> Dict[Any, Any]: ...
def cast_any(value: Any) -> Any: ...

# The package module is the default interpreter object: these members of the
# default Interpreter are offered at module level (made on first use; main
# thread only).
tk: _tkinter.TkappType
history: History
vars: TclNamespace.VariablesView
vix: Vix
