"""Spreading a build's factories over several workers: batches in dependency order, run as they become ready.

A factory's build calls what it uses; a cell made once reaches every later
batch through the command (as plain data), so what a factory uses is best
built first, in a batch of its own. The order comes from the recorded graph
(a factory never built before: from the imports of its file), in levels:
a factory's level is one more than the highest level of the factories it
uses among those to build. Each level is cut into batches of about equal
recorded cost (factories of one file together), one per worker (more for a
level too large for one reply); when the number of workers was not asked
for, only as many workers as the whole build's recorded cost warrants, and
no batch below a minimum cost: one task per factory would cost more than it
saves. Factories that use each other in
a cycle go last, in one batch.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Callable, Mapping
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass, field
from typing import Any, Protocol

__all__ = ["Batch", "Workers", "dispatch", "levels", "plan_batches", "run_ahead", "widest"]

#: The cost assumed for a factory with no recorded build time (seconds).
UNKNOWN_COST = 0.005
#: Work below this much is not worth another worker (seconds): one imports the sources again (about 0.1 s).
WORTH_A_WORKER = 0.25
#: Nor this much another batch (a task costs a round trip; on a cluster, a process).
WORTH_A_BATCH = 0.05
#: At most this many factories to a batch, so that no reply is too large to hold at once.
LARGEST_BATCH = 1000


@dataclass
class Batch:
    factories: list[tuple[str, str]]  # (name, file)
    after: set[int] = field(default_factory=set)  # the batches it waits for


class Workers(Protocol):
    """Where batches run: ``slots`` at once; ``started``: worker processes (or tasks) started so far."""

    @property
    def slots(self) -> int: ...

    @property
    def started(self) -> int: ...

    def submit(self, task: dict[str, Any], step: Callable[[str, str], None]) -> Future[dict[str, Any]]: ...

    def close(self, *, stop: bool) -> None: ...


def plan_batches(order: list[str], owner: Mapping[str, str], uses: Mapping[str, set[str]],
                 cost: Mapping[str, float], jobs: int, *, split: bool,
                 groups: Mapping[str, list[str]] | None = None) -> list[Batch]:
    """Batches of the factories in ``order``; ``uses`` says what each uses (the others are ignored).

    What a factory uses may also be a group of ``groups`` (all the factories
    of a file, say): it then comes after every one of them. With ``split``,
    each level is cut into ``jobs`` batches whatever its cost.
    """
    groups = groups or {}
    wanted = set(order)
    needs = {name: {used for used in uses.get(name, ()) if (used in wanted and used != name) or used in groups}
             for name in order}
    needs.update((group, {m for m in members if m in wanted}) for group, members in groups.items())
    users: dict[str, list[str]] = {name: [] for name in needs}
    for name, used in needs.items():
        for other in used:
            users[other].append(name)
    level: dict[str, int] = {}
    waiting = {name: len(used) for name, used in needs.items()}
    todo = [name for name in needs if not waiting[name]]
    while todo:
        name = todo.pop()
        if name in groups:  # no level of its own: that of its last member
            level[name] = max((level[used] for used in needs[name]), default=-1)
        else:
            level[name] = max((level[used] + 1 for used in needs[name]), default=0)
        for user in users[name]:
            waiting[user] -= 1
            if not waiting[user]:
                todo.append(user)
    last = max(level.values(), default=-1) + 1
    cyclic = [name for name in order if name not in level]
    for name in cyclic:  # on a cycle: after everything else, together
        level[name] = last
    batches: list[Batch] = []
    batch_of: dict[str, int] = {}
    workers = jobs if split else min(jobs, math.floor(sum(cost.get(n, UNKNOWN_COST) for n in order) / WORTH_A_WORKER))
    for depth in sorted({level[name] for name in order}):
        names = sorted((n for n in order if level[n] == depth), key=lambda n: (owner[n], n))
        costs = [cost.get(n, UNKNOWN_COST) for n in names]
        total = sum(costs)
        parts = workers if split else min(workers, math.floor(total / WORTH_A_BATCH))
        parts = 1 if cyclic and depth == last else max(1, -(-len(names) // LARGEST_BATCH), min(parts, len(names)))
        share, filled, current = total / parts, 0.0, -1
        for name, spent in zip(names, costs, strict=True):
            if current < 0 or (filled >= share * (current + 1) and current < parts - 1):
                batches.append(Batch([]))
                current += 1
            batches[-1].factories.append((name, owner[name]))
            batch_of[name] = len(batches) - 1
            filled += spent
    of_group = {group: {batch_of[m] for m in members} for group, members in needs.items() if group in groups}
    for index, batch in enumerate(batches):
        for name, _ in batch.factories:
            for other in needs[name]:
                batch.after.update(of_group[other] if other in groups else (batch_of[other],))
        batch.after.discard(index)
    return batches


def levels(batches: list[Batch]) -> list[int]:
    """Each batch's level: one more than the highest of those it waits for (``plan_batches`` makes them in order)."""
    found: list[int] = []
    for batch in batches:
        found.append(max((found[other] + 1 for other in batch.after), default=0))
    return found


def widest(batches: list[Batch]) -> int:
    """The most batches that can run at once: those of the largest level."""
    level = levels(batches)
    return max((level.count(depth) for depth in set(level)), default=0)


def run_ahead(order: list[str], owner: Mapping[str, str], uses: Mapping[str, set[str]], cost: Mapping[str, float],
              groups: Mapping[str, list[str]], run: Callable[[Batch], None], waiting: Callable[[], bool]) -> list[str]:
    """While ``waiting()``, ``run`` batches worth ``WORTH_A_BATCH`` of the factories in ``order`` that are
    ready (what they use is built, or not to build), one after the other; the factories left, in order."""
    left = list(order)
    while left and waiting():
        ready = plan_batches(left, owner, uses, cost, 1, split=True, groups=groups)[0].factories
        chunk: list[tuple[str, str]] = []
        spent = 0.0
        for name, rel in ready:
            chunk.append((name, rel))
            spent += cost.get(name, UNKNOWN_COST)
            if spent >= WORTH_A_BATCH:
                break
        run(Batch(chunk))
        ran = {name for name, _ in chunk}
        left = [name for name in left if name not in ran]
    return left


def dispatch(batches: list[Batch], workers: Workers, task: Callable[[Batch], dict[str, Any]],
             done: Callable[[Batch, dict[str, Any]], None],
             progress: Callable[[int, int, int, str], None] | None = None, already: int = 0) -> None:
    """Run each batch on ``workers`` once the batches it waits for are done.

    ``task`` makes a batch's task when it is sent (so it carries every cell
    made so far); ``done`` takes each reply, in the calling thread (a task
    that raised instead: ``{"failed": message}``).
    ``progress`` hears (finished factories, total, busy workers, what runs),
    counting ``already`` factories built before.
    """
    total = already + sum(len(batch.factories) for batch in batches)
    pending = dict(enumerate(batches))
    running: dict[Future[dict[str, Any]], int] = {}
    finished: set[int] = set()
    counted = already
    started: dict[int, int] = {}  # batch -> factories it began building
    lock = threading.Lock()

    def report(what: str) -> None:
        if progress is not None:
            with lock:
                busy_done = sum(max(0, n - 1) for n in started.values())
                progress(counted + busy_done, total, len(running), what)

    def stepper(index: int) -> Callable[[str, str], None]:
        def step(kind: str, what: str) -> None:
            if kind == "building":
                with lock:
                    started[index] = started.get(index, 0) + 1
            report(f"{kind} {what}")

        return step

    while pending or running:
        for index in sorted(pending):
            if len(running) >= workers.slots:
                break
            if pending[index].after <= finished:
                batch = pending.pop(index)
                running[workers.submit(task(batch), stepper(index))] = index
        if not running:
            raise RuntimeError("batches wait for each other")  # plan_batches never makes such batches
        report("")
        ready, _ = wait(list(running), return_when=FIRST_COMPLETED)
        for future in ready:
            index = running.pop(future)
            try:
                reply = future.result()
            except Exception as exc:  # the task itself failed (its worker process is not the project's)
                reply = {"failed": f"{type(exc).__name__}: {exc}"}
            with lock:
                started.pop(index, None)
                counted += len(batches[index].factories)
            finished.add(index)
            done(batches[index], reply)
    report("")
