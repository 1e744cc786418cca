"""Small data structures shared by the trelmo packages."""

from typing import Any

__all__ = ["AttrDict"]


class AttrDict(dict):
    """A ``dict`` whose entries can also be read as attributes.

    ``AttrDict(a=1).a`` is ``1``.  A missing entry raises ``AttributeError``
    (not ``KeyError``), so ``getattr(d, name, default)`` and ``hasattr`` work.
    Attribute lookup goes through ``self[name]``, so a subclass that redefines
    ``__getitem__`` (for instance with dotted paths) is honoured.
    """

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None
