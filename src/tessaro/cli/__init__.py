"""The ``tessaro`` command line: keep a project's registry in step with its sources and show it.

Exit status: 0 success, 1 a build with failures, a registry that is busy or
cannot be written now (or an unexpected error), 2 bad input. Errors are one
line on stderr, ``tessaro: error: ...``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator, Sequence

__all__ = ["main", "run"]

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

EPILOG = ("exit status: 0 success, 1 build failures or a registry busy or unwritable now, 2 bad input."
          " Start with 'tessaro demo'.")


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

    def command(name: str, summary: str, description: str, examples: str,
                parents: Sequence[_Parser] = ()) -> argparse.ArgumentParser:
        found = sub.add_parser(name, help=summary, description=description, epilog="examples:\n" + examples,
                               parents=[*shared, *parents], formatter_class=argparse.RawDescriptionHelpFormatter)
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

    serving = _serving()
    watch = command(
        "watch", "rebuild on every save until Ctrl-C",
        "Watch the sources, every project file they import or read and pyproject.toml,\n"
        "and run the incremental build after each change: one summary line per build\n"
        "(what newly failed, what was fixed, counts; --each: a line per factory first).\n"
        "Ctrl-C stops.\n"
        "With --serve, also serve the dependency graph page (see 'tessaro view') and\n"
        "update the open page after each build.",
        "  tessaro watch\n  tessaro watch --json | jq .\n  tessaro watch --serve --port 8765\n",
        parents=[serving],
    )
    watch.add_argument("--debounce", type=int, default=150, metavar="MS",
                       help="wait this long for more changes before building (default 150)")
    watch.add_argument("--serve", action="store_true", help="serve the live dependency graph page")
    watch.add_argument("--each", action="store_true", help="a line per rebuilt or failing factory before the summary")

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

    neighbourhood = _neighbourhood()
    graph = command(
        "graph", "the dependency graph of the factories",
        "Print which factories use which (an edge A -> B: A places a cell of B). With\n"
        "FACTORY, that factory's neighbourhood: what uses it (--up), what it uses\n"
        "(--down), both by default, --depth steps away. svg and png need Graphviz's\n"
        "'dot' on PATH; with -o FILE the format follows FILE's suffix.",
        "  tessaro graph ring --up --depth 1\n  tessaro graph -o graph.svg --rankdir LR\n",
        parents=[neighbourhood],
    )
    graph.add_argument("--format", "-f", choices=GRAPH_FORMATS, help="output format (default: text, or -o's suffix)")
    graph.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    graph.add_argument("--rankdir", choices=("TB", "LR", "BT", "RL"), default="TB", help="dot layout direction")

    view = command(
        "view", "the dependency graph as an interactive page in the browser",
        "Show the dependency graph as a page: factories grouped by source file (collapsed\n"
        "when the graph is large), search, focus on a neighbourhood, hiding by pattern,\n"
        "what a change affects, and for a click on a factory or an edge what it is and\n"
        "why the edge exists. With -o FILE.html, one self-contained file that works\n"
        "offline; otherwise the page is served on 127.0.0.1 until Ctrl-C. FACTORY,\n"
        "--up, --down and --depth start the page focused, as 'tessaro graph' selects.",
        "  tessaro view\n  tessaro view ring --up -o ring.html\n  tessaro view --since main\n"
        "  tessaro view --affected factories/basics.py --no-open --port 8765\n",
        parents=[neighbourhood, serving],
    )
    view.add_argument("-o", "--output", metavar="FILE.html", help="write the page to FILE instead of serving it")
    view.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                      help="hide factories whose name or file matches PATTERN (a glob or a substring; repeatable)")
    changes = view.add_mutually_exclusive_group()
    changes.add_argument("--affected", nargs="+", default=[], metavar="FILE",
                         help="highlight what a change to these files affects, with the rebuild order")
    changes.add_argument("--since", metavar="REF", help="the same for the files git says changed since REF")

    affected = command(
        "affected", "the factories to rebuild when files change, in rebuild order",
        "List the factories that must be rebuilt when the given files change: those the\n"
        "files define, those whose file imports or reads them (at any depth), those whose\n"
        "build read them, and every factory that uses one of those, each after everything\n"
        "it uses. Any input the last build recorded counts, data files included. Factories\n"
        "that use each other stay together and are reported as cycles. Other files are\n"
        "noted and skipped (--strict: refused), so any list of changed files can be given;\n"
        "an empty list affects nothing. --json gives each factory its reason: the chain\n"
        "from a changed file through imports, reads and the cells that use other cells.",
        "  tessaro affected --since main --names     what a branch's changes affect\n"
        "  git diff --name-only | tessaro affected -  paths from standard input\n"
        "  git diff --name-only | xargs tessaro affected --names\n"
        "  tessaro affected layers.json --json       with the reason for each factory\n"
        "  tessaro affected --factory straight\n",
    )
    affected.add_argument("files", nargs="*", metavar="FILE", help="changed files ('-': read them from standard input)")
    affected.add_argument("--since", metavar="REF",
                          help="also the files git sees changed since commit REF: committed, staged or not, untracked")
    affected.add_argument("--factory", action="append", default=[], metavar="NAME",
                          help="a changed factory (repeatable)")
    affected.add_argument("--names", action="store_true", help="print only the names, one per line")
    affected.add_argument("--strict", action="store_true",
                          help="a FILE that is not an input of the last build is an error (exit 2), not a note")

    why = command(
        "why", "the chains by which one factory uses another",
        "Explain why FACTORY depends on USED: the chains of factories from FACTORY to\n"
        "USED, each using the next, shortest first. Each step names the cells that make\n"
        "it: a cell of one factory that places (or whose build asked for) a cell of the\n"
        "next, with their settings. A failing factory's steps are as last recorded,\n"
        "without cells. By default the shortest chains; --all gives every chain that\n"
        "visits no factory twice, up to --limit.",
        "  tessaro why chip straight\n  tessaro why chip straight --all --limit 5\n"
        "  tessaro why tree tree          how a factory uses itself\n  tessaro why chip straight --json\n",
    )
    why.add_argument("factory", metavar="FACTORY", help="the factory that uses")
    why.add_argument("uses", metavar="USED", help="the factory it uses, directly or not")
    why.add_argument("--all", action="store_true", help="every chain, not only the shortest ones")
    why.add_argument("--limit", type=int, default=20, metavar="N", help="at most N chains (default 20)")

    demo = command(
        "demo", "copy the example project, build it and show the result",
        "Copy the bundled example project to DIR (default: a new temporary folder, named\n"
        "in the output), build it, and print its factories and dependency graph. One of\n"
        "its factories fails on purpose.",
        "  tessaro demo\n  tessaro demo /tmp/try-tessaro\n",
    )
    demo.add_argument("dir", nargs="?", metavar="DIR", help="where to put the example project (new or empty)")
    return parser


def _neighbourhood() -> _Parser:
    """FACTORY and how far around it: for graph and view (declared once, here)."""
    parser = _Parser(add_help=False)
    parser.add_argument("factories", nargs="*", metavar="FACTORY", help="start from these factories (default: all)")
    parser.add_argument("--up", action="store_true", help="what uses FACTORY")
    parser.add_argument("--down", action="store_true", help="what FACTORY uses")
    parser.add_argument("--depth", type=_depth, metavar="N", help="at most N steps from FACTORY")
    return parser


def _serving() -> _Parser:
    """Where the page is served: for view and watch --serve (declared once, here)."""
    parser = _Parser(add_help=False)
    group = parser.add_argument_group("serving the page")
    group.add_argument("--host", default="127.0.0.1", help="the address to serve on (default 127.0.0.1)")
    group.add_argument("--port", type=_port, default=0, help="the port (default: a free one, printed)")
    group.add_argument("--no-open", action="store_true", help="do not open a browser")
    return parser


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"expected a port number from 0 to 65535, got {text!r}")
    return int(text)


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
    """Undo what a command changes in the process: its environment and logging.

    The project's code never runs here (builds run it in workers), so the
    import state and the live layout are left as they were anyway.
    """
    import logging  # here: build workers import this package, and log nothing

    environ = dict(os.environ)
    logger = logging.getLogger("tessaro")
    handlers, level = list(logger.handlers), logger.level
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(environ)
        logger.handlers[:] = handlers
        logger.setLevel(level)


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


def run() -> int:
    """The ``tessaro`` program: ``main`` on the process's arguments, in a process that then ends."""
    code = main()
    # What is left needs no collecting: Python's last collection at exit walks every object the
    # command loaded (once Dask is loaded, 60 ms).
    import gc

    gc.freeze()
    return code


def _run(args: argparse.Namespace) -> int:
    import sqlite3

    from tessaro.cli import commands
    from tessaro.cli.errors import CliError, describe

    try:
        return getattr(commands, args.handler)(args)
    except CliError as exc:
        _error(str(exc))
        return exc.exit_code
    except BrokenPipeError:
        _silence_stdout()
        return 0
    except sqlite3.DatabaseError as exc:  # met by a call of the registry module: busy, damaged, or neither
        from tessaro.cli.registry import unreadable
        from tessaro.settings import db_path_of, get_project_dir

        _traceback(args.verbose)
        error = unreadable(db_path_of(get_project_dir()), exc)
        _error(str(error))
        return error.exit_code
    except Exception as exc:
        _traceback(args.verbose)
        message, code = describe(exc)
        _error(message + ("" if args.verbose else " (run with --verbose for details)"))
        return code


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
