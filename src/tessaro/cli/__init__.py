"""The ``tessaro`` command line: keep a project's registry in step with its sources and show it.

Exit status: 0 success, 1 a build with failures (or an unexpected error),
2 bad input. Errors are one line on stderr, ``tessaro: error: ...``.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence

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
"""

EPILOG = "exit status: 0 success, 1 build failures, 2 bad input. Start with 'tessaro demo'."


class _Parser(argparse.ArgumentParser):
    """Usage errors of every command read ``tessaro: error: ...``, like the others."""

    def error(self, message: str):  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(2, f"tessaro: error: {message}\n")


def _parser() -> argparse.ArgumentParser:
    from tessaro import __version__
    from tessaro.cli.render import GRAPH_FORMATS

    def common(suppress: bool) -> argparse.ArgumentParser:
        # The options are accepted before and after the command; the copies on the
        # commands leave what was given before the command alone unless repeated.
        parser = _Parser(add_help=False)
        group = parser.add_argument_group("common options")
        default = argparse.SUPPRESS if suppress else None
        group.add_argument(
            "--project", metavar="DIR", default=default, help="the project folder (default: found from the working directory)"
        )
        group.add_argument(
            "-v",
            "--verbose",
            action="store_true",
            default=argparse.SUPPRESS if suppress else False,
            help="show the registry's debug lines on stderr",
        )
        return parser

    parser = _Parser(
        prog="tessaro",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=[common(False)],
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    shared = [common(True)]

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        return sub.add_parser(
            name,
            help=summary,
            description=description,
            parents=shared,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    build = command(
        "build",
        "import the sources, build every factory and update the registry",
        "Import each source file, find the factories and models it defines, build every\n"
        "factory with its default settings and replace the file's registry entries with\n"
        "the result. Failures are recorded (status FAILED and the error) without stopping\n"
        "the others. Without SOURCE, all of the project's factory sources are built and\n"
        "entries of deleted source files are dropped. Exit status 1 if anything failed.",
    )
    build.add_argument("sources", nargs="*", metavar="SOURCE", help="Python source files or folders to build")
    build.set_defaults(handler="cmd_build")

    factories = command("factories", "list the registered factories", "List the registered factories.")
    factories.add_argument("--json", action="store_true", help="print JSON for scripts")
    factories.set_defaults(handler="cmd_factories")

    components = command(
        "components", "list the registered components", "List the components (built cells) of all or some factories."
    )
    components.add_argument("factories", nargs="*", metavar="FACTORY", help="only the components of these factories")
    components.add_argument("--json", action="store_true", help="print JSON for scripts")
    components.set_defaults(handler="cmd_components")

    models = command("models", "list the registered models", "List the registered models.")
    models.add_argument("--json", action="store_true", help="print JSON for scripts")
    models.set_defaults(handler="cmd_models")

    show = command(
        "show",
        "show one factory, its components, model, users and dependencies",
        "Build, then show one factory: its record, components and model, the factories\n"
        "that use it and the factories it uses (as found in the built layout).",
    )
    show.add_argument("factory", metavar="FACTORY")
    show.add_argument("--json", action="store_true", help="print JSON for scripts")
    show.set_defaults(handler="cmd_show")

    graph = command(
        "graph",
        "print the dependency graph of the factories",
        "Build, then print which factories use which (an edge A -> B: A places a cell of B).\n"
        "With FACTORY, only what is connected to those factories. svg and png need\n"
        "Graphviz's 'dot' on PATH.",
    )
    graph.add_argument("factories", nargs="*", metavar="FACTORY", help="start from these factories (default: all)")
    graph.add_argument("--format", "-f", choices=GRAPH_FORMATS, default="text", help="output format (default: text)")
    graph.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    graph.set_defaults(handler="cmd_graph")

    affected = command(
        "affected",
        "list the factories to rebuild when source files change",
        "Build, then list the factories the given files define and every factory that\n"
        "uses them, directly or not: what must be rebuilt when those files change. The\n"
        "list is in rebuild order (what a factory uses comes before it).",
    )
    affected.add_argument("sources", nargs="+", metavar="SOURCE", help="changed Python source files")
    affected.add_argument("--json", action="store_true", help="print JSON for scripts")
    affected.set_defaults(handler="cmd_affected")

    demo = command(
        "demo",
        "copy the example project, build it and show the result",
        "Copy the bundled example project to DIR (default: a new folder tessaro-demo in\n"
        "the working directory), build it, and print its factories and dependency graph.\n"
        "One of its factories fails on purpose.",
    )
    demo.add_argument("dir", nargs="?", metavar="DIR", help="where to put the example project (new or empty)")
    demo.set_defaults(handler="cmd_demo")
    return parser


def _setup_logging(verbose: bool) -> None:
    if not verbose:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("tessaro: debug: %(message)s"))
    logger = logging.getLogger("tessaro")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    _setup_logging(args.verbose)

    import sqlite3

    from tessaro.cli import commands
    from tessaro.cli.project import CliError

    try:
        return getattr(commands, args.handler)(args)
    except CliError as exc:
        _error(str(exc))
        return exc.exit_code
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except BrokenPipeError:
        _silence_stdout()
        return 0
    except sqlite3.Error as exc:
        _traceback(args.verbose)
        _error(f"registry database: {exc}")
        return 1
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
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
