"""Drive a Tcl interpreter from Python (type stub of the package module)."""

from typing import Any, Dict, List, Optional

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

__version__: str

__all__ = [
    "Interpreter",
    "quoml",
    "tclobj",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
    "cast_dict",
    "package_require",
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
    def cast_array(self, value: Any) -> Dict[str, str]: ...
    @staticmethod
    def cast_any(value: Any, /) -> Any: ...
    def cast_dict(self, value: Any) -> Dict[str, str]: ...
    def package_require(self, name: str, version: Optional[str] = None, exact: bool = False) -> str: ...
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
def cast_array(value: Any) -> Dict[str, str]: ...
def cast_any(value: Any, /) -> Any: ...
def cast_dict(value: Any) -> Dict[str, str]: ...
def package_require(name: str, version: Optional[str] = None, exact: bool = False) -> str: ...

# The package module is the default interpreter object: these members of the
# default Interpreter are offered at module level (made on first use; main
# thread only).
tk: _tkinter.TkappType
history: History
vars: TclNamespace.VariablesView
vix: Vix
