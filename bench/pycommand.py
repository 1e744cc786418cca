"""Pure-Python version of the TclCommand call path: the benchmark's baseline.

The same rules as trelmo.tcl.namespace.TclCommand for construction, word
assembly (build_tclcmd, kwargs_to_dashed_args) and calling, written the plain
way, with the pure-Python quoml()/tclobj() of tests/oracles/pyquoml.py: the whole
call path as a Python implementation would run it.
"""

import weakref

from pyquoml import quoml, tclobj  # the pure-Python conversions: the whole call path in Python


class PyTclCommand(object):
    def __init__(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None):
        super(PyTclCommand, self).__init__()
        import trelmo.tcl

        if not tcl:
            tcl = trelmo.tcl
        if type(tcl) not in weakref.ProxyTypes:
            tcl = weakref.proxy(tcl)
        self.tcl = tcl
        if args is None:
            if isinstance(cmd, PyTclCommand):
                cmd = cmd.build_tclcmd()
            elif type(cmd) is not tuple:
                cmd = trelmo.tcl.cast_list(cmd)
            args = cmd[1:]
            cmd = cmd[0]
        else:
            args = trelmo.tcl.cast_list(args)
            if isinstance(cmd, PyTclCommand):
                words = cmd.build_tclcmd(*args)
                args = words[1:]
                cmd = words[0]
        self.cmd_name = quoml(cmd)
        self.args = tclobj(args)
        self.keywords = {}
        if keywords:
            for key, value in keywords.items():
                self.keywords[key] = tclobj(value)
        self.cast = cast
        self.logger = logger

    def build_tclcmd(self, *args, **kwargs):
        tclcmd = (self.cmd_name,) + self.args + tclobj(args)
        if kwargs:
            keywords = self.keywords.copy()
            for key, value in kwargs.items():
                keywords[key] = tclobj(value)
        else:
            keywords = self.keywords
        tclcmd += self.kwargs_to_dashed_args(**keywords)
        return tclcmd

    @staticmethod
    def kwargs_to_dashed_args(**kwargs):
        args = ()
        for key, value in kwargs.items():
            args += ("-" + key, value)
        return args

    def call(self, *args, **kwargs):
        tclcmd = self.build_tclcmd(*args, **kwargs)
        if self.logger:
            self.logger.info("Calling: {}".format(quoml(tclcmd)))
        result = self.tcl.tk.call(tclcmd)
        if self.cast:
            result = self.cast(result)
        return result

    def __call__(self, *args, **kwargs):
        return self.call(*args, **kwargs)
