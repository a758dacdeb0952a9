"""The ``tessaro`` command line: keep a project's registry in step with its sources and show it.

Exit status: 0 success, 1 a build with failures (or an unexpected error),
2 bad input. Errors are one line on stderr, ``tessaro: error: ...``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator, Sequence

__all__ = ["main"]

DESCRIPTION = """\
Keep a layout project's registry of factories, components and models in step
with its sources, and show what is registered and which factories use which.

The project is the nearest folder with a pyproject.toml at or above the working
directory (or --project DIR). Its factory sources are the Python files under the
folders listed in pyproject.toml:

    [tool.tessaro]
    sources = ["factories"]     # the default

The registry lives in <project>/build/tessaro.db ($TESSARO_DB_PATH overrides it).
Queries read the registry as last built; only build and watch import your code.
"""

EPILOG = "exit status: 0 success, 1 build failures, 2 bad input. Start with 'tessaro demo'."


class _Parser(argparse.ArgumentParser):
    """Usage errors of every command read ``tessaro: error: ...``, like the others."""

    def error(self, message: str):  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(2, f"tessaro: error: {message}\n")


def _common(suppress: bool) -> _Parser:
    """The options every command takes, before or after its name (declared once, here)."""
    parser = _Parser(add_help=False)
    group = parser.add_argument_group("common options")

    def default(value: object) -> object:
        # On a command, an option not repeated there leaves what was given before the command alone.
        return argparse.SUPPRESS if suppress else value

    group.add_argument("--project", metavar="DIR", default=default(None),
                       help="the project folder (default: found from the working directory)")
    group.add_argument("-v", "--verbose", action="store_true", default=default(False),
                       help="show the registry's debug lines and full tracebacks on stderr")
    group.add_argument("--json", action="store_true", default=default(False), help="print JSON for scripts")
    return parser


def _parser() -> argparse.ArgumentParser:
    from tessaro import __version__
    from tessaro.cli.render import GRAPH_FORMATS

    parser = _Parser(prog="tessaro", description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter, parents=[_common(False)])
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    # Not required here: main() checks, so that 'tessaro --bogus' names --bogus rather than a missing command.
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    shared = [_common(True)]

    def command(name: str, summary: str, description: str, examples: str) -> argparse.ArgumentParser:
        found = sub.add_parser(name, help=summary, description=description, epilog="examples:\n" + examples,
                               parents=shared, formatter_class=argparse.RawDescriptionHelpFormatter)
        found.set_defaults(handler="cmd_" + name)
        return found

    build = command(
        "build", "bring the registry in step with the sources (only what changed)",
        "Import the sources that changed since the last build (and the files that import\n"
        "them), rebuild the factories they define and every factory that uses one of\n"
        "those, and write the result to the registry all at once. Failures are recorded\n"
        "(status FAILED, the error and where it was raised) without stopping the others.\n"
        "Exit status 1 if anything failed.",
        "  tessaro build                     rebuild what changed\n"
        "  tessaro build --all               rebuild everything\n"
        "  tessaro build factories/rings.py  rebuild one file and what depends on it\n"
        "  tessaro build -j 1                one build worker\n"
        "  tessaro build --scheduler tcp://10.0.0.5:8786   on a Dask cluster (shared file system)\n",
    )
    build.add_argument("sources", nargs="*", metavar="SOURCE", help="only these source files or folders")
    build.add_argument("--all", action="store_true", help="rebuild every factory, changed or not")
    build.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                       help="build on N worker processes at most (default: one per core, as the work warrants)")
    build.add_argument("--scheduler", metavar="ADDRESS",
                       help="build on the Dask cluster whose scheduler is at ADDRESS (default: [tool.tessaro]"
                       " scheduler; '' builds here)")

    watch = command(
        "watch", "rebuild on every save until Ctrl-C",
        "Watch the sources, every project file they import and pyproject.toml, and run\n"
        "the incremental build after each change. One line per change; Ctrl-C stops.",
        "  tessaro watch\n  tessaro watch --json | jq .\n",
    )
    watch.add_argument("--debounce", type=int, default=150, metavar="MS",
                       help="wait this long for more changes before building (default 150)")

    command("factories", "list the registered factories", "List the registered factories.",
            "  tessaro factories\n  tessaro factories --json\n")
    components = command("components", "list the registered components",
                         "List the components (built cells) of all or some factories.",
                         "  tessaro components ring\n  tessaro components --json\n")
    components.add_argument("factories", nargs="*", metavar="FACTORY", help="only the components of these factories")
    command("models", "list the registered models", "List the registered models.",
            "  tessaro models\n  tessaro models --json\n")

    show = command(
        "show", "one factory: record, components, model, users and dependencies",
        "Show one factory as last built: its record, components and model, the factories\n"
        "that use it and those it uses. For a failing factory, where the error was\n"
        "raised (-v: the traceback).",
        "  tessaro show ring\n  tessaro show ring --json\n",
    )
    show.add_argument("factory", metavar="FACTORY")

    graph = command(
        "graph", "the dependency graph of the factories",
        "Print which factories use which (an edge A -> B: A places a cell of B). With\n"
        "FACTORY, that factory's neighbourhood: what uses it (--up), what it uses\n"
        "(--down), both by default, --depth steps away. svg and png need Graphviz's\n"
        "'dot' on PATH; with -o FILE the format follows FILE's suffix.",
        "  tessaro graph ring --up --depth 1\n  tessaro graph -o graph.svg --rankdir LR\n",
    )
    graph.add_argument("factories", nargs="*", metavar="FACTORY", help="start from these factories (default: all)")
    graph.add_argument("--format", "-f", choices=GRAPH_FORMATS, help="output format (default: text, or -o's suffix)")
    graph.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    graph.add_argument("--up", action="store_true", help="what uses FACTORY")
    graph.add_argument("--down", action="store_true", help="what FACTORY uses")
    graph.add_argument("--depth", type=_depth, metavar="N", help="at most N steps from FACTORY")
    graph.add_argument("--rankdir", choices=("TB", "LR", "BT", "RL"), default="TB", help="dot layout direction")

    affected = command(
        "affected", "the factories to rebuild when files change, in rebuild order",
        "List the factories that must be rebuilt when the given files change: those the\n"
        "files define, those of files that import them, and every factory that uses one\n"
        "of those, each after everything it uses. Factories that use each other stay\n"
        "together and are reported as cycles. Files that are not part of the project\n"
        "are noted and skipped, so any list of changed files can be given.",
        "  git diff --name-only | xargs tessaro affected --names\n"
        "  tessaro affected --factory straight\n",
    )
    affected.add_argument("files", nargs="*", metavar="FILE", help="changed files")
    affected.add_argument("--factory", action="append", default=[], metavar="NAME",
                          help="a changed factory (repeatable)")
    affected.add_argument("--names", action="store_true", help="print only the names, one per line")

    demo = command(
        "demo", "copy the example project, build it and show the result",
        "Copy the bundled example project to DIR (default: a new folder tessaro-demo in\n"
        "the working directory), build it, and print its factories and dependency graph.\n"
        "One of its factories fails on purpose.",
        "  tessaro demo\n  tessaro demo /tmp/try-tessaro\n",
    )
    demo.add_argument("dir", nargs="?", metavar="DIR", help="where to put the example project (new or empty)")
    return parser


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of workers (1 or more), got {text!r}")
    return value


def _depth(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of steps, got {text!r}")
    return value


@contextlib.contextmanager
def _no_lasting_effects() -> Iterator[None]:
    """Undo what a command changes in the process: environment, import state, live layout, logging."""
    import logging  # here: build workers import this package, and log nothing

    environ = dict(os.environ)
    path = list(sys.path)
    modules = set(sys.modules)
    dont_write_bytecode = sys.dont_write_bytecode
    logger = logging.getLogger("tessaro")
    handlers, level = list(logger.handlers), logger.level
    layout = sys.modules.get("brimlay")
    saved = layout.kcl.save() if layout is not None else None
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(environ)
        sys.path[:] = path
        # The project's modules go; libraries imported on the way stay (importing them twice would do harm).
        packages = os.path.dirname(os.path.dirname(os.path.dirname(__file__)))  # where tessaro and brimlay are
        installed = tuple({sys.prefix, sys.base_prefix, sys.exec_prefix, packages})
        for name in set(sys.modules) - modules:
            file = getattr(sys.modules[name], "__file__", None)
            if name.startswith("_tessaro_source_") or (isinstance(file, str) and not file.startswith(installed)):
                del sys.modules[name]
        sys.dont_write_bytecode = dont_write_bytecode
        logger.handlers[:] = handlers
        logger.setLevel(level)
        layout = sys.modules.get("brimlay")
        if layout is not None and saved is not None:
            layout.kcl.restore(saved)
        elif layout is not None:  # first imported by this command
            layout.kcl.clear()


def _setup_logging(verbose: bool) -> None:
    import logging

    if not verbose:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("tessaro: debug: %(message)s"))
    logger = logging.getLogger("tessaro")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    from tessaro.cli import registry

    registry.written.clear()
    try:
        parser = _parser()
        try:
            args, extra = parser.parse_known_args(argv)
            if extra:
                parser.error(f"unrecognized arguments: {' '.join(extra)}")
            if args.command is None:
                parser.error("the following arguments are required: COMMAND")
        except SystemExit as exc:
            return exc.code if isinstance(exc.code, int) else 2
        with _no_lasting_effects():
            _setup_logging(args.verbose)
            return _run(args)
    except KeyboardInterrupt:
        # Wherever it comes: the registry was either written completely by this command or not at all.
        if registry.written:
            _error("interrupted after the registry was written: it holds this build, complete")
        else:
            _error("interrupted: the registry is as it was before this command")
        return 130


def _run(args: argparse.Namespace) -> int:
    import sqlite3

    from tessaro.cli import commands
    from tessaro.cli.errors import CliError

    try:
        return getattr(commands, args.handler)(args)
    except CliError as exc:
        _error(str(exc))
        return exc.exit_code
    except BrokenPipeError:
        _silence_stdout()
        return 0
    except sqlite3.OperationalError as exc:
        _traceback(args.verbose)
        _error(f"registry database: {exc}" + (" (another program holds it; try again)" if "locked" in str(exc) else ""))
        return 1
    except sqlite3.DatabaseError as exc:
        from tessaro.cli.registry import REMEDY
        from tessaro.settings import db_path_of, get_project_dir

        _traceback(args.verbose)
        _error(f"the registry {db_path_of(get_project_dir())} is damaged ({exc}): {REMEDY}")
        return 2
    except Exception as exc:
        _traceback(args.verbose)
        hint = "" if args.verbose else " (run with --verbose for details)"
        _error(f"unexpected {type(exc).__name__}: {exc}{hint}")
        return 1


def _error(message: str) -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    print(f"tessaro: error: {message}", file=sys.stderr)


def _traceback(verbose: bool) -> None:
    if verbose:
        import traceback

        traceback.print_exc()


def _silence_stdout() -> None:
    # Output went to a pipe that was closed early (e.g. `| head`): drop the rest quietly.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
