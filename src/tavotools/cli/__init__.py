"""The command line `tavotools`: one argparse tree whose subcommands are listed
once, in `COMMANDS`. `tavotools FILE...` is `tavotools measures FILE...`.

A subcommand is a module with `NAME`, `HELP` (one line for `tavotools --help`),
`DESCRIPTION`, `add_arguments(parser)` and `run(args, parser)`, which returns
the exit status; adding one is that module and a line here.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys

from .. import __version__
from ..flatfile import command as flatfile
from . import measures, obe, spectrum
from .common import OutputError, OutputGone

__all__ = ["COMMANDS", "DEFAULT", "build_parser", "main"]

#: The subcommands, in the order `tavotools --help` lists them.
COMMANDS = (measures, spectrum, obe, flatfile)

#: What `tavotools` runs when the first argument names no subcommand.
DEFAULT = measures


def build_parser():
    """The argparse tree of every subcommand."""
    parser = argparse.ArgumentParser(
        prog="tavotools",
        description="Ground-motion intensity measures of accelerogram files. With no "
                    "COMMAND, runs `measures` (`tavotools FILE...`); with no file either, "
                    "on a built-in synthetic record.")
    parser.add_argument("--version", action="version", version=f"tavotools {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for module in COMMANDS:
        # The default command speaks as `tavotools` itself.
        prog = "tavotools" if module is DEFAULT else f"tavotools {module.NAME}"
        sub = commands.add_parser(module.NAME, prog=prog, help=module.HELP,
                                  description=module.DESCRIPTION)
        module.add_arguments(sub)
        sub.set_defaults(run=module.run, parser=sub)
    return parser


#: Exit status when the reader of standard output has gone (`| head -1`): that of a
#: process ended by SIGPIPE, as a shell reports the other tools of such a pipeline.
BROKEN_PIPE = 141

#: Exit status of a run stopped by Ctrl-C (SIGINT), as a shell reports it.
INTERRUPTED = 130


def _drop_stdout():
    # What the stream still buffers would fail again at exit, with a traceback and
    # status 120: from here on it goes nowhere.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):  # no stream, or one with no descriptor
        pass


class _Messages:
    """Standard error while a command runs. A line it cannot take (stderr closed with
    `2>&-`, a reader that has gone) is dropped: the report still goes to stdout, and
    no message lands in it (print's file=None is stdout)."""

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        if self._stream is not None:
            try:
                self._stream.write(text)
            except (OSError, ValueError):   # ValueError: a stream closed under us
                self._stream = None
        return len(text)

    def flush(self):
        if self._stream is not None:
            try:
                self._stream.flush()
            except (OSError, ValueError):
                self._stream = None

    def isatty(self):
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def __getattr__(self, name):
        if name == "_stream":   # not yet set (a copy being made): no recursion through here
            raise AttributeError(name)
        return getattr(self._stream, name)


def main(argv=None):
    """Run the command line on `argv` (default: `sys.argv[1:]`); returns the exit status."""
    argv = sys.argv[1:] if argv is None else [str(a) for a in argv]
    names = {module.NAME for module in COMMANDS}
    if not argv or (argv[0] not in names and argv[0] not in ("-h", "--help", "--version")):
        argv = [DEFAULT.NAME, *argv]
    with contextlib.redirect_stderr(_Messages(sys.stderr)):
        return _run(argv)


def _run(argv):
    args = build_parser().parse_args(argv)
    prog = args.parser.prog
    try:
        return args.run(args, args.parser)
    except OutputGone:
        _drop_stdout()
        return BROKEN_PIPE
    except OutputError as e:
        print(f"{prog}: cannot write the output: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return INTERRUPTED
