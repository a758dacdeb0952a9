"""Build workers: the processes in which the project's code runs, and the command's side of them.

The command never imports the project: each build starts a fresh worker
(``python -m tessaro.cli.worker``) before any project code runs, asks it to
import sources and build factories, and gets plain data back (JSON lines on
the worker's standard output; whatever the project prints goes to standard
error). What the project's code does to its process (the environment,
``sys.path``, the working directory, a ``KeyboardInterrupt`` it raises,
``os._exit``) stays in the worker. A worker that dies fails only the work it
was doing: the source it was importing or the factory it was building, named
as such; a fresh worker takes up the rest. The user's Ctrl-C reaches the
command, which stops its workers at once (workers ignore SIGINT).

A build runs batches of factories (``tessaro.cli.schedule``) on several
workers at once: ``LocalWorkers`` keeps up to N worker processes on this
machine, ``ClusterWorkers`` sends each batch to a Dask cluster, where
``run_task`` starts a fresh worker process for it. Either way a batch is the
same task (import these sources, build these factories, with these cells
made before) and comes back as the same plain data.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from tessaro.cli.errors import CliError
from tessaro.cli.project import Project, file_hash

if TYPE_CHECKING:
    from concurrent.futures import Future

__all__ = ["BuildWorker", "ClusterWorkers", "LocalWorkers", "failed_build", "reap", "run_task", "serve"]


def _signal_text(code: int) -> str:
    if code < 0:
        try:
            return f"killed by signal {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exited with status {code}"


class _Died(Exception):
    def __init__(self, how: str, doing: str | None) -> None:
        super().__init__(how)
        self.how, self.doing = how, doing


class _Forked:
    """A worker forked from the command (the part of ``subprocess.Popen`` that ``_Process`` uses)."""

    def __init__(self) -> None:
        from_command, to_worker = _pipe()
        from_worker, to_command = _pipe()
        _flush()  # nothing buffered may reach the copy
        self.pid = os.fork()
        if self.pid == 0:  # the worker: a copy of the command, which never imported the project's code
            _become_worker(from_command, to_command, (to_worker, from_worker))
        os.close(from_command)
        os.close(to_command)
        self.stdin: IO[str] | None = os.fdopen(to_worker, "w", encoding="utf-8", errors="surrogateescape")
        self.stdout: IO[str] | None = os.fdopen(from_worker, "r", encoding="utf-8", errors="surrogateescape")
        self.returncode: int | None = None

    def poll(self) -> int | None:
        if self.returncode is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def wait(self, timeout: float | None = None) -> int:
        import subprocess
        import time

        deadline = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            if deadline is None:
                self.returncode = os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])
            elif time.monotonic() > deadline:
                raise subprocess.TimeoutExpired([sys.executable], timeout or 0)
            else:
                time.sleep(0.002)
        return self.returncode  # type: ignore[return-value]

    def kill(self) -> None:
        if self.poll() is None:
            os.kill(self.pid, signal.SIGKILL)


def _become_worker(requests: int, replies: int, others: tuple[int, ...]) -> None:
    """In a fresh fork: serve on ``requests`` and ``replies`` (closing ``others``), then end."""
    try:
        os.dup2(requests, 0)
        os.dup2(replies, 1)
        for fd in (requests, replies, *others):
            os.close(fd)
        try:
            os.fstat(2)
        except OSError:  # no standard error: what the project prints goes nowhere
            os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        # Line-buffered, as Python's own standard error: what the project prints is not held back.
        sys.stdin, sys.stdout, sys.stderr = (open(fd, mode, closefd=False, encoding="utf-8", errors="replace",
                                                  buffering=1 if mode == "w" else -1)
                                             for fd, mode in ((0, "r"), (1, "w"), (2, "w")))
        # As ``python -P``: no script folder or working directory on the path.
        script = os.path.dirname(os.path.abspath(sys.argv[0])) if sys.argv and sys.argv[0] else None
        sys.path[:] = [p for p in sys.path if p not in ("", os.getcwd(), script)]
        import brimlay

        brimlay.kcl.clear()  # the command never builds; a test process running it may have
        serve()
    finally:
        os._exit(70)


def _flush() -> None:
    """Flush the standard streams as they are now (the project's code may have replaced or closed them)."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (AttributeError, OSError, ValueError):
            pass


def _pipe() -> tuple[int, int]:
    """A pipe whose ends are not standard streams (any of them may be closed), closed on exec."""
    import fcntl

    ends = os.pipe()
    found = tuple(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3) for fd in ends)
    for fd in ends:
        os.close(fd)
    return found[0], found[1]


def _may_fork() -> bool:
    """Whether the command can fork a worker: one thread (at the system's count) is all it runs."""
    try:
        return hasattr(os, "fork") and len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def _spawn() -> Any:
    import subprocess  # here: the worker itself never starts one

    return subprocess.Popen(
        [sys.executable, "-P", "-m", "tessaro.cli.worker"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8", errors="surrogateescape",
    )


class _ForkServer:
    """A process with tessaro loaded, never the project's code, that forks fresh workers on request.

    For a cluster's worker: a Dask worker runs threads, so it cannot fork
    itself, and starting Python for every task costs a tenth of a second. Each
    request is one byte on a socket carrying three descriptors: the worker's
    ends of its two pipes and a socket to report on. The server forks a
    monitor, which forks the worker and reports its pid, then its exit
    status. The server ends with the socket (its Dask worker gone).
    """

    def __init__(self) -> None:
        import socket
        import subprocess

        self.control, theirs = socket.socketpair()
        with theirs:
            self.proc = subprocess.Popen([sys.executable, "-P", "-m", "tessaro.cli.worker", str(theirs.fileno())],
                                         pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL)
        self.lock = threading.Lock()

    def fork(self, requests: int, replies: int, report: int) -> None:
        import socket

        with self.lock:
            socket.send_fds(self.control, [b"w"], [requests, replies, report])


def _fork_server(fd: int) -> None:
    """The fork server's loop (see ``_ForkServer``)."""
    import socket

    import tessaro.cli.builder  # noqa: F401  (what every worker needs, loaded once)
    import tessaro.models  # noqa: F401

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # the monitors are reaped by the system
    control = socket.socket(fileno=fd)
    while True:
        data, fds, _, _ = socket.recv_fds(control, 1, 3)
        if not data:
            os._exit(0)
        if os.fork() == 0:
            control.close()
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            requests, replies, report = fds
            pid = os.fork()
            if pid == 0:
                _become_worker(requests, replies, (report,))
            os.close(requests)
            os.close(replies)
            with socket.socket(fileno=report) as status:
                status.sendall(f"{pid}\n".encode())
                status.sendall(f"{os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])}\n".encode())
            os._exit(0)
        for found in fds:
            os.close(found)


class _Served:
    """A worker from the fork server (the part of ``subprocess.Popen`` that ``_Process`` uses)."""

    def __init__(self, server: _ForkServer) -> None:
        import socket

        from_command, to_worker = _pipe()
        from_worker, to_command = _pipe()
        self.status, theirs = socket.socketpair()
        try:
            server.fork(from_command, to_command, theirs.fileno())
        except OSError:
            for fd in (to_worker, from_worker):
                os.close(fd)
            self.status.close()
            raise
        finally:
            for fd in (from_command, to_command):
                os.close(fd)
            theirs.close()
        self._said = b""
        self.returncode: int | None = None
        self.pid = int(self._line(None) or "0")
        self.stdin: IO[str] | None = os.fdopen(to_worker, "w", encoding="utf-8", errors="surrogateescape")
        self.stdout: IO[str] | None = os.fdopen(from_worker, "r", encoding="utf-8", errors="surrogateescape")
        if not self.pid:  # the server is gone: a worker that died at once
            self.returncode = 70

    def _line(self, timeout: float | None) -> str | None:
        """The monitor's next line ('' once it is gone); None if none came within ``timeout``."""
        import select

        while b"\n" not in self._said:
            if not select.select([self.status], [], [], timeout)[0]:
                return None
            more = self.status.recv(64)
            if not more:
                return ""
            self._said += more
        line, self._said = self._said.split(b"\n", 1)
        return line.decode()

    def _ended(self, line: str | None) -> int | None:
        if line is not None and self.returncode is None:
            self.returncode = int(line) if line else -signal.SIGKILL  # no status: its monitor was killed
            self.status.close()
        return self.returncode

    def poll(self) -> int | None:
        return self.returncode if self.returncode is not None else self._ended(self._line(0))

    def wait(self, timeout: float | None = None) -> int:
        import subprocess

        if self.returncode is None and self._ended(self._line(timeout)) is None:
            raise subprocess.TimeoutExpired([sys.executable], timeout or 0)
        return self.returncode  # type: ignore[return-value]

    def kill(self) -> None:
        if self.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.pid, signal.SIGKILL)


_server: _ForkServer | None = None
_server_lock = threading.Lock()


def _served() -> Any:
    """A fresh worker from this process's fork server (started on first use, again if it died)."""
    global _server
    with _server_lock:
        for _ in range(2):
            if _server is None or _server.proc.poll() is not None:
                if _server is not None:
                    _server.control.close()
                _server = _ForkServer()
            try:
                return _Served(_server)
            except OSError:
                _server.proc.kill()
    return _spawn()


# Workers told to end, not yet waited for.
_ending: list[Any] = []


def reap() -> None:
    """Wait for the workers told to end (one still running after 5 s is killed)."""
    import subprocess

    while _ending:
        proc = _ending.pop()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class _Process:
    """One worker process and its pipe."""

    def __init__(self, project: Project, folders: list[str], launch: Callable[[], Any] | None) -> None:
        # Forking skips starting Python and importing tessaro again (half of a worker's start).
        self.proc = launch() if launch is not None else _Forked() if _may_fork() else _spawn()
        self.send({"op": "start", "root": str(project.root), "sources": list(project.sources_setting),
                   "configured": project.sources_configured, "folders": folders})

    def send(self, message: dict[str, Any]) -> None:
        assert self.proc.stdin is not None
        try:
            self.proc.stdin.write(json.dumps(message) + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass  # the worker is gone: the next read says how

    def ask(self, message: dict[str, Any], step: Callable[[str, str], None],
            meanwhile: Callable[[], None] | None = None) -> dict[str, Any]:
        """Send a request; run ``meanwhile`` while the worker works; report its steps; return its reply
        (``_Died`` if the worker died first)."""
        assert self.proc.stdout is not None
        self.send(message)
        if meanwhile is not None:
            meanwhile()
        doing = None
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise _Died(_signal_text(self.proc.wait()), doing)
            data = json.loads(line)
            if "step" in data:
                doing = data["what"]
                step(data["step"], doing)
            else:
                reply: dict[str, Any] = data["reply"]
                return reply

    def close(self) -> None:
        """Tell the worker to end; ``reap`` waits for it (meanwhile the command goes on)."""
        if self.proc.poll() is None:
            self.send({"op": "exit"})
            _ending.append(self.proc)
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream is not None:
                stream.close()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream is not None:
                stream.close()


class BuildWorker:
    """The command's side of one build's worker: import sources, build factories, survive a death.

    Started on first use. After a death, a fresh worker imports again what the
    dead one had imported (but the source that killed it) and goes on with the
    rest.
    """

    def __init__(self, project: Project, folders: list[str], step: Callable[[str, str], None] | None = None,
                 launch: Callable[[], Any] | None = None) -> None:
        self.project, self.folders = project, folders  # folders: the sources' (``import_folders``)
        self.launch = launch  # how its processes start (by default forked, or spawned where threads run)
        self.step = step or (lambda kind, what: None)
        self.started = 0
        self._process: _Process | None = None
        self._imported: list[str] = []  # the sources asked for so far, in order
        self._killers: dict[str, str] = {}  # source -> how the worker died importing it
        self.stopped = False  # the build is over (Ctrl-C): no fresh worker is started
        self.sent: dict[str, Any] = {}  # the cells made before that were sent so far
        self.holds: set[str] = set()  # the cells its process made (live there, never sent to it)

    def __enter__(self) -> BuildWorker:
        return self

    def __exit__(self, kind: Any, *_: Any) -> None:
        if self._process is not None:
            if kind is None:
                self._process.close()
            else:  # Ctrl-C or an error here: stop the worker at once
                self._process.kill()
            self._process = None

    def stop(self) -> None:
        """Kill the worker at once and start no other (callable from another thread)."""
        self.stopped = True
        process = self._process
        if process is not None and process.proc.poll() is None:
            process.proc.kill()

    def start(self) -> None:
        """Start its process now (else on first use)."""
        self._worker()

    def _worker(self) -> _Process:
        if self.stopped:
            raise RuntimeError("the build was stopped")
        if self._process is None:
            self._process = _Process(self.project, self.folders, self.launch)
            self.started += 1
            self.holds.clear()
            if self._imported:
                wanted = [rel for rel in self._imported if rel not in self._killers]
                self._process.ask({"op": "import", "sources": wanted, "cells": self.sent},
                                  lambda kind, what: None)
        return self._process

    def _lost(self) -> None:
        assert self._process is not None
        self._process.kill()
        self._process = None

    def import_sources(self, rels: list[str], cells: dict[str, Any] | None = None,
                       meanwhile: Callable[[], None] | None = None) -> dict[str, dict[str, Any]]:
        """Import the sources ``rels`` (project-relative); every project file seen so far, by that path.

        ``cells``: cells made before that the imports may bring back (see
        ``build``); ``meanwhile``: the command's own work, done while the
        worker imports (once).
        """
        while True:
            try:
                reply = self._worker().ask({"op": "import", "sources": [r for r in rels if r not in self._killers],
                                            "cells": cells or {}},
                                           lambda kind, what: self.step("importing", what), meanwhile)
                break
            except _Died as death:
                self._lost()
                meanwhile = None
                if death.doing is None or death.doing in self._killers:
                    raise RuntimeError(f"the build worker {death.how} before importing anything") from None
                self._killers[death.doing] = death.how
        # What a fresh worker must import again after a death (and be sent again).
        self._imported.extend(rel for rel in rels if rel not in self._imported)
        self.sent.update(cells or {})
        files: dict[str, dict[str, Any]] = reply["files"]
        for rel, how in self._killers.items():
            files[rel] = {"hash": None, "source": True, "executed": True, "imports": [], "defines": [],
                          "factories": [], "models": {}, "where": None, "traceback": None,
                          "error": f"the build worker {how} while importing it"}
        return files

    def build(self, wanted: list[tuple[str, str]]) -> dict[str, Any]:
        """Build the (name, file) factories; a factory that kills the worker is failed, the rest go on.

        Their calls may bring back the cells made before that ``import_sources`` was given.
        """
        dead: dict[str, str] = {}
        while True:
            todo = [(name, rel) for name, rel in wanted if name not in dead]
            try:
                reply = self._worker().ask({"op": "build", "factories": todo},
                                           lambda kind, what: self.step("building", what))
                break
            except _Died as death:
                self._lost()
                if death.doing is None or death.doing in dead:
                    raise RuntimeError(f"the build worker {death.how} before building anything") from None
                dead[death.doing] = death.how
        for name, how in dead.items():
            reply["built"][name] = failed_build(f"the build worker {how} while building it")
        return reply

    def run(self, task: dict[str, Any]) -> dict[str, Any]:
        """One batch: import its sources, build its factories; the reply of ``build`` with every file seen."""
        # Of the cells made before, those it was sent or made before it has.
        cells = {n: c for n, c in task["cells"].items() if n not in self.sent and n not in self.holds}
        files = self.import_sources(task["imports"], cells)
        reply = self.build([(name, rel) for name, rel in task["factories"]])
        files.update(reply["files"])
        reply["files"] = files
        if self._process is not None:
            self.holds.update(reply["cells"])
        return reply


def failed_build(message: str) -> dict[str, Any]:
    """A factory's build that ended before its worker could report it, as a worker reports a failed one."""
    return {"status": "FAILED", "message": message, "where": None, "traceback": None, "asked": [], "cell": None,
            "settings": "{}", "seconds": 0.0}


class LocalWorkers:
    """Up to ``jobs`` build workers on this machine, started as batches need them; ``first`` is one of them."""

    def __init__(self, project: Project, jobs: int, first: BuildWorker,
                 step: Callable[[str, str], None] | None = None) -> None:
        from concurrent.futures import ThreadPoolExecutor

        self.project, self.slots, self.step = project, jobs, step
        self.workers = [first]
        self._free = [first]
        self._stopped = False
        self._lock = threading.Lock()
        self._threads = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="tessaro-worker")

    @property
    def started(self) -> int:
        return sum(worker.started for worker in self.workers)

    def start(self, count: int) -> None:
        """Start up to ``count`` workers now: from the calling thread, before any other runs, they are forked."""
        while len(self.workers) < min(count, self.slots):
            worker = BuildWorker(self.project, self.workers[0].folders)
            worker.start()
            self.workers.append(worker)
            self._free.append(worker)

    def submit(self, task: dict[str, Any], step: Callable[[str, str], None]) -> Future[dict[str, Any]]:
        return self._threads.submit(self._run, task, step)

    def _run(self, task: dict[str, Any], step: Callable[[str, str], None]) -> dict[str, Any]:
        with self._lock:
            if self._stopped:
                raise RuntimeError("the build was stopped")
            if self._free:
                worker = self._free.pop()
            else:
                worker = BuildWorker(self.project, self.workers[0].folders)
                self.workers.append(worker)
        worker.step = step
        try:
            return worker.run(task)
        finally:
            with self._lock:
                self._free.append(worker)

    def close(self, *, stop: bool) -> None:
        """Let the workers finish (or, with ``stop``, kill them at once)."""
        if stop:
            with self._lock:
                self._stopped = True
                for worker in self.workers:
                    worker.stop()
        self._threads.shutdown(wait=True, cancel_futures=True)
        for worker in self.workers:
            worker.__exit__(KeyboardInterrupt if stop else None)


class ClusterWorkers:
    """A Dask cluster's workers: each batch is a task that runs ``run_task`` there, in a fresh worker process.

    Dask workers are long-lived and threaded, and retry a task whose process
    died; so the project's code never runs in them: each task starts its own
    build worker process (from a fork server there), and tasks are never
    retried. Importing Dask and connecting (a quarter of a second) go on in
    the background from the start (``connecting`` says whether they still do).
    """

    def __init__(self, project: Project, folders: list[str], address: str, jobs: int | None) -> None:
        from concurrent.futures import Future

        self.project, self.folders, self.address, self.jobs = project, folders, address, jobs
        self.started = 0
        self._ready: Future[tuple[Any, Any, int]] = Future()
        threading.Thread(target=self._connect, name="tessaro-connect", daemon=True).start()

    def _connect(self) -> None:
        try:
            try:
                import distributed
            except ImportError:
                raise CliError("--scheduler needs Dask's distributed scheduler:"
                               " pip install 'tessaro[cluster]' (or dask[distributed])") from None
            try:
                client = distributed.Client(self.address, timeout=10, set_as_default=False)
            except (OSError, TimeoutError, ValueError) as exc:
                raise CliError(f"cannot reach the Dask scheduler at {self.address} ({exc}):"
                               " start it, or check the address") from None
            threads = sum(client.nthreads().values())
            if not threads:
                client.close()
                raise CliError(f"the Dask scheduler at {self.address} has no workers:"
                               f" start some (dask worker {self.address})")
            slots = min(self.jobs, threads) if self.jobs else threads
            self._ready.set_result((client, client.get_executor(pure=False, retries=0), slots))
        except BaseException as exc:
            self._ready.set_exception(exc)

    def connecting(self) -> bool:
        return not self._ready.done()

    @property
    def slots(self) -> int:
        return self._ready.result()[2]

    def submit(self, task: dict[str, Any], step: Callable[[str, str], None]) -> Future[dict[str, Any]]:
        payload = {**task, "root": str(self.project.root), "sources": list(self.project.sources_setting),
                   "configured": self.project.sources_configured, "folders": self.folders,
                   "config": file_hash(self.project.pyproject),
                   "version": _version()}
        self.started += 1
        future: Future[dict[str, Any]] = self._ready.result()[1].submit(run_task, payload)
        return future

    def close(self, *, stop: bool) -> None:
        try:
            client, executor, _ = self._ready.result()
        except BaseException:
            return
        try:
            executor.shutdown(wait=not stop)
        finally:
            client.close()


def _version() -> str:
    import tessaro

    return tessaro.__version__


def run_task(task: dict[str, Any]) -> dict[str, Any]:
    """Run one batch in a fresh build worker on this machine (a cluster's worker): the reply, or {"error"}.

    The project must be at the same path here as where the build runs, with
    the same ``pyproject.toml`` (a shared file system), and tessaro the same
    version.
    """
    import platform

    root = Path(task["root"])
    host = platform.node()
    if _version() != task["version"]:
        return {"error": f"the Dask worker on {host} runs tessaro {_version()}, the build {task['version']}:"
                         " install the same version on every worker"}
    if file_hash(root / "pyproject.toml") != task["config"]:
        return {"error": f"the Dask worker on {host} cannot see the project at {root} (or sees another copy):"
                         " the project folder must be on a file system shared by every worker, at the same path"}
    project = Project(root=root, sources_setting=tuple(task["sources"]), sources_configured=task["configured"])
    try:
        with BuildWorker(project, task["folders"], launch=_served) as worker:
            return worker.run(task)
    finally:
        reap()


# -- the worker's side -----------------------------------------------------------


def serve() -> None:
    """The worker's main loop: one JSON request per line on stdin, steps and one reply on stdout."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the command alone answers the user's Ctrl-C
    requests: IO[str] = os.fdopen(os.dup(0), "r", encoding="utf-8", errors="surrogateescape")
    replies: IO[str] = os.fdopen(os.dup(1), "w", encoding="utf-8", errors="surrogateescape")
    # What the project prints goes to standard error; it reads nothing from the pipe.
    os.dup2(2, 1)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    sys.stdout = sys.stderr

    def say(data: dict[str, Any]) -> None:
        _flush()  # what the project printed comes before what the command says of it
        replies.write(json.dumps(data) + "\n")
        replies.flush()

    session: Any = None
    for line in requests:
        message = json.loads(line)
        op = message["op"]
        if op == "exit":
            break
        if op == "start":
            from tessaro.cli.builder import Session

            project = Project(root=Path(message["root"]), sources_setting=tuple(message["sources"]),
                              sources_configured=message["configured"])
            # The project's code runs in its folder, wherever the command was started (or the Dask worker).
            os.chdir(project.root)
            session = Session(project, message["folders"])
        elif op == "import":
            session.restorable.update(message["cells"])
            root = session.project.root
            session.import_sources([root / rel for rel in message["sources"]],
                                   lambda what: say({"step": "importing", "what": what}))
            say({"reply": {"files": session.describe()}})
            import tessaro.models  # noqa: F401  (what describing cells needs, loaded while the command plans)
        elif op == "build":
            found = session.build([(name, rel) for name, rel in message["factories"]],
                                  lambda what: say({"step": "building", "what": what}))
            found["files"] = session.describe()
            say({"reply": found})
    _flush()
    replies.flush()
    # The project's code may have left threads or exit handlers behind: leave without them.
    os._exit(0)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        _fork_server(int(sys.argv[1]))
    serve()
