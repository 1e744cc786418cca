"""Keyed lists in pure Python: the same class as trelmo.tcl.dorvel.Dorvel,
written the plain way.  The benchmarks measure the extension module against
it, and the tests use it as a differential oracle for the model.

``tclobj`` is the conversion that ``__tclobj__`` hands the pairs to; it is a
module-level name so that a benchmark can bind it to a pure-Python conversion
for an all-Python baseline.
"""

from _tkinter import TclError

from trelmo.datastructures import AttrDict
from collections.abc import MutableMapping
from _tkinter import Tcl_Obj
from trelmo.tcl.quoml import tclobj

# The type name that TclX gives its keyed-list objects.
KEYED_LIST_TYPE = "keyedList"
CONFLICT = 'target key "%s" is a value, cannot update value against another keyed list'


class Dorvel(AttrDict, MutableMapping):
    def __init__(self, *args, **kwargs):
        super(Dorvel, self).__init__()
        dsc = dict(*args, **kwargs)
        for key, value in dsc.items():
            if isinstance(value, Dorvel):
                continue
            try:
                dsc[key] = Dorvel(value)
            except (ValueError, TypeError):
                pass
        self.update(dsc)

    @staticmethod
    def from_tcl(string):
        import trelmo.tcl

        dsc = dict([trelmo.tcl.cast_list(e) for e in trelmo.tcl.cast_list(string)])
        for key, value in dsc.items():
            if isinstance(value, Dorvel):
                continue
            try:
                dsc[key] = Dorvel.from_tcl(value)
            except (ValueError, TclError, KeyError):
                pass
        klist = Dorvel()
        klist.update(dsc)
        return klist

    def __getitem__(self, key):
        if "." not in key:
            return super(Dorvel, self).__getitem__(key)
        subkeys = key.split(".", 1)
        return super(Dorvel, self).__getitem__(subkeys[0])[subkeys[1]]

    def __setitem__(self, key, value):
        if isinstance(value, Tcl_Obj) and value.typename == KEYED_LIST_TYPE:
            value = Dorvel.from_tcl(value)
        if "." in key:
            subkeys = key.split(".", 1)
            try:
                subkl = self[subkeys[0]]
            except KeyError:
                subkl = Dorvel()
                super(Dorvel, self).__setitem__(subkeys[0], subkl)
            else:
                if not isinstance(subkl, Dorvel):
                    raise KeyError(CONFLICT % subkeys[0])
            subkl[subkeys[1]] = value
            return
        if isinstance(value, Dorvel):
            try:
                existing = self[key]
            except KeyError:
                pass
            else:
                if not isinstance(existing, Dorvel):
                    raise KeyError(CONFLICT % key)
        super(Dorvel, self).__setitem__(key, value)

    def __contains__(self, key):
        if "." not in key:
            return super(Dorvel, self).__contains__(key)
        subkeys = key.split(".", 1)
        if not super(Dorvel, self).__contains__(subkeys[0]):
            return False
        return super(Dorvel, self).__getitem__(subkeys[0]).__contains__(subkeys[1])

    def __delitem__(self, key):
        if "." not in key:
            return super(Dorvel, self).__delitem__(key)
        subkeys = key.split(".", 1)
        value = super(Dorvel, self).__getitem__(subkeys[0])
        del value[subkeys[1]]
        if not value:
            super(Dorvel, self).__delitem__(subkeys[0])

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("update() takes at most 1 positional arguments ({} given)".format(len(args)))
        if args:
            other = args[0]
            if isinstance(other, Dorvel):
                for key, value in other.all_items():
                    self[key] = value
            else:
                MutableMapping.update(self, other)
        for key, value in kwargs.items():
            if isinstance(value, Dorvel):
                try:
                    subkl = self[key]
                except KeyError:
                    subkl = Dorvel()
                    self[key] = subkl
                else:
                    if not isinstance(subkl, Dorvel):
                        raise KeyError(CONFLICT % key)
                subkl.update(value)
            else:
                self[key] = value

    def all_keys(self):
        ret = []
        for key, value in self.items():
            if isinstance(value, Dorvel):
                for subkey in value.all_keys():
                    ret.append(key + "." + subkey)
            else:
                ret.append(key)
        return ret

    def all_items(self):
        ret = []
        for key, value in self.items():
            if isinstance(value, Dorvel):
                for subkey, subvalue in value.all_items():
                    ret.append((key + "." + subkey, subvalue))
            else:
                ret.append((key, value))
        return ret

    has_key = __contains__

    def __tclobj__(self):
        return tclobj([(key, value) for key, value in self.items()])
