"""trelmo.tcl in typed code: this file is checked with `mypy --strict`
(`make stubtest`) against the package's stubs, and runs as a script.

It keeps a small inventory in Tcl -- a namespace with an array of stock levels
and a procedure with a default argument -- and reads it back into typed Python
values.
"""

from typing import Dict, List, Optional

from trelmo.tcl import (
    Dorvel,
    Interpreter,
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclCommand,
    quoml,
    tclobj,
)
from trelmo.tcl.history import Entry, History

INVENTORY = r"""
variable stock
array set stock {bolts 120 nuts 80}
proc reorder {item {minimum 100}} {
    variable stock
    expr {$stock($item) < $minimum}
}
"""


def stock_levels(ns: TclNamespace) -> Dict[str, int]:
    """The stock array as a dict of ints."""
    stock: TclArrayVariable = ns.vars.array_byref("stock", cast=int)
    return {str(item): int(stock[item]) for item in stock}


def needs_reorder(ns: TclNamespace, item: str, minimum: Optional[int] = None) -> bool:
    """Ask the Tcl procedure whether an item runs low."""
    reorder: TclCommand = ns.cmds["reorder"]
    result = reorder(item) if minimum is None else reorder(item, minimum)
    return bool(ns.tcl.cast_boolean(result))


def main() -> int:
    tcl = Interpreter()
    shop = TclNamespace("::shop", tcl)
    shop.eval(INVENTORY)

    levels: Dict[str, int] = stock_levels(shop)
    assert levels == {"bolts": 120, "nuts": 80}
    low: List[str] = sorted(item for item in levels if needs_reorder(shop, item))
    assert low == ["nuts"]
    assert needs_reorder(shop, "bolts", 200)

    default = shop.cmds.proc_arg_default("reorder", "minimum")
    assert default is not None and str(default) == "100"

    total = TclVariable("::shop::total", tcl=tcl, cast=int)
    total.set(sum(levels.values()))
    assert total.get() == 200 and total.get_str() == "200"

    text: str = quoml(["bolts", "hex nuts", [1, 2]])
    assert text == "bolts {hex nuts} {1 2}"
    assert tclobj({"a": [1, 2]}) == ("a", (1, 2))

    order = Dorvel({"item": "nuts", "qty": 40, "ship.to": "dock 2"})
    assert order.all_keys() == ["item", "qty", "ship.to"]
    assert Dorvel.from_tcl(quoml(order))["ship.to"] == "dock 2"

    seen: List[str] = []
    with TempTclCommand(seen.append, tcl=tcl) as hook:
        tcl.tk.call(hook.cmd_name, "ping")
    assert seen == ["ping"]
    del hook  # finalise it while its interpreter is still alive

    history: History = tcl.history
    tcl.vix.set("::shop::note", "checked")
    last: Entry = history.filter(count=1)[0]
    assert last.api == "set ::shop::note checked"

    shop.delete()
    print("inventory ok:", levels, "reorder:", low)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
