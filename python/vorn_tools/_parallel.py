"""Many files at once: in worker processes of this machine, or on a Dask cluster.

A job is a module-level function (so that it pickles by name) called as
`job(item, cancel=None, **options)` for each item; it returns a picklable
result, whose `events`, if it has them, feed the progress bar. `cancel` is
set on a cluster only: it names the Dask Event that calls the run off, which
`stopper(cancel)` turns into the check the job's loop calls between blocks.

An interrupt (Ctrl-C, SIGTERM) ends the whole run: worker processes unwind
and remove their temporary outputs, cluster tasks stop at their next block
and tasks not yet started return at once; these functions return, by
raising KeyboardInterrupt, only once that is done, so that no output of the
run appears later.
"""

from __future__ import annotations

import math
import multiprocessing
import os
import secrets
import time
from collections.abc import Callable, Sequence
from typing import Any

from . import _signals as signals

__all__ = ["Unreachable", "in_workers", "on_cluster", "stopper"]

CONNECT_TIMEOUT = "10s"
CANCEL_WAIT = 60.0  # seconds an interrupted run waits for its running tasks to clean up
CANCEL_POLL = 0.2  # seconds between two looks at a cluster's cancel event
RESULT_WAIT = 0.1  # seconds a wait for the workers' next result lasts before an interrupt may come through


class Unreachable(Exception):
    """No Dask scheduler answers at the address."""


def stopper(cancel: str | None) -> Callable[..., None]:
    """The check a job calls between blocks; it raises to abandon the work."""
    if cancel is None:
        return signals.check
    from distributed import Event

    event = Event(cancel)
    last = -math.inf

    def check(final: bool = False) -> None:
        nonlocal last
        now = time.monotonic()
        if final or now - last >= CANCEL_POLL:
            last = now
            if event.is_set():
                raise signals.Cancelled
    return check


def _call(item: tuple[int, Callable[..., Any], Any, dict[str, Any]]) -> tuple[int, Any]:
    index, job, work, options = item
    try:
        with signals.busy():
            return index, job(work, **options)
    except KeyboardInterrupt:
        # The pool is being terminated and the job has cleaned up; a
        # traceback would say nothing the parent does not say already.
        os._exit(signals.exit_status())


def _worker_start() -> None:
    # Terminating the pool sends SIGTERM: it must unwind, so that the
    # temporary output of the job under way goes away.
    signals.install_worker()


def _advance(progress: Any, result: Any) -> None:
    if progress is not None:
        progress.update(1, getattr(result, "events", 0))


def in_workers(job: Callable[..., Any], items: Sequence[Any], jobs: int, progress: Any = None,
               **options: Any) -> list[Any]:
    """`job` of every item by `jobs` worker processes; the results in the items' order."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([job.__module__])
    results: dict[int, Any] = {}
    pool = context.Pool(min(jobs, len(items)), initializer=_worker_start)
    try:
        work = [(i, job, item, options) for i, item in enumerate(items)]
        done = pool.imap_unordered(_call, work)
        while True:
            try:
                # The result iterator waits under a lock that the pool's own
                # thread takes to hand a result over: an interrupt raised in
                # there would leave it held, and terminate() waits for that thread.
                with signals.deferred():
                    index, result = done.next(RESULT_WAIT)
            except multiprocessing.TimeoutError:
                continue
            except StopIteration:
                break
            signals.check()
            results[index] = result
            _advance(progress, result)
        pool.close()
    except BaseException:
        pool.terminate()
        raise
    finally:
        pool.join()
    return [results[i] for i in range(len(items))]


def on_cluster(job: Callable[..., Any], items: Sequence[Any], address: str, progress: Any = None,
               **options: Any) -> list[Any]:
    """`job` of every item on the Dask cluster at `address`; the results in the items' order."""
    from dask.distributed import Client, Event, as_completed, wait

    try:
        client = Client(address, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError) as error:
        raise Unreachable(f"no Dask scheduler answers at {address}: {str(error) or type(error).__name__}") from None
    with client:
        stop = Event(f"vorn-cancel-{secrets.token_hex(8)}", client=client)
        # pure=False: a file worked on before may have grown since.
        futures = client.map(job, list(items), cancel=stop.name, pure=False, **options)
        try:
            for future in as_completed(futures):
                signals.check()
                _advance(progress, future.result())
            results: list[Any] = client.gather(futures)
        except BaseException:
            stop.set()
            # Tasks not yet started find the event set and return at once.
            wait(futures, timeout=CANCEL_WAIT)
            client.cancel(futures)
            raise
    return results
