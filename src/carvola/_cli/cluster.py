"""Batches on a Dask distributed cluster: choosing the cluster, shipping chunks of work to
it and taking the results back as they arrive.

Tasks carry paths, never pixels: workers read the inputs and write the outputs on a
filesystem that every worker sees under the same paths. Only this module imports Dask,
and only inside functions, so the single-machine path never loads it; workers import
the module to run the chunk functions below.
"""

import collections
import contextlib
import itertools
import logging
import math
import os
import queue
import signal
import socket
import sys
import threading
import time
import uuid

from . import _batch
from ._common import UsageError

EXTRA = 'pip install "carvola[cluster]"'
log = logging.getLogger("carvola.cluster")

# Worker time that the scheduler, the network and the worker spend on one task besides
# its work: 4.5 to 9.8 ms, measured with bench/bench_cluster.py on a local cluster of two
# processes sharing two cores with the scheduler and the command (a scheduler with a
# machine of its own costs less).
TASK_COST = 0.008
# Chunks in flight for each worker thread: enough that no worker waits for the next one
# to travel (fewer than 8 made the per-task cost twice as high).
WINDOW = 8
# A chunk is sized to hold about this much work, so that the per-task cost stays near 1%.
CHUNK_SECONDS = 100 * TASK_COST
# How long an interrupted run waits for the chunks that are already running.
STOP_WAIT = 10.0
CONNECT_TIMEOUT = 10.0


def _import_distributed():
    try:
        import distributed
    except ImportError:
        raise UsageError(f"--cluster needs Dask distributed, which is not installed: {EXTRA}") from None
    return distributed


def _probe(address):
    """Refuses a TCP scheduler address that nothing answers at, at once rather than after
    the client's connection timeout."""
    scheme, sep, rest = address.rpartition("://")
    if sep and scheme not in ("tcp", "tls"):
        return  # other transports are left to Dask
    host, _, port = rest.rpartition(":")
    if not host or not port.isdigit():
        raise UsageError(f"scheduler address {address!r} is not [tcp://]HOST:PORT")
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=CONNECT_TIMEOUT).close()
    except OSError as e:
        raise UsageError(f"no scheduler at {address}: {e.strerror or e}") from None


def _worker_version():
    import carvola

    return carvola.__version__


@contextlib.contextmanager
def _sigint_ignored():
    """Starts processes that ignore SIGINT, which they keep: a terminal's Ctrl-C reaches
    the whole process group, and local workers must finish their running chunk rather
    than die in it (the command stops them between files)."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class Session:
    """A connected client and this run's identity (its task keys and its stop event)."""

    def __init__(self, distributed, client):
        self.distributed = distributed
        self.client = client
        self.run_id = uuid.uuid4().hex[:12]
        self.version = _worker_version()
        self.stop_name = f"carvola-stop-{self.run_id}"
        self.counter = itertools.count()

    def slots(self):
        """Threads across the workers now connected."""
        return max(1, sum(self.client.nthreads().values()))

    def submit(self, function, *args):
        key = f"carvola-{function.__name__.strip('_')}-{self.run_id}-{next(self.counter)}"
        return self.client.submit(function, *args, key=key, pure=False)

    def stop(self):
        """Tells every chunk of this run to stop at its next file or range."""
        with contextlib.suppress(Exception):
            self.distributed.Event(self.stop_name, client=self.client).set()


@contextlib.contextmanager
def connect(choice, *, verbose=False):
    """A Session on the cluster `choice` (from cluster_option); a local cluster is closed at
    the end. Every refusal is a UsageError: nothing has been submitted yet."""
    distributed = _import_distributed()
    # Dask's own log lines are for debugging the cluster, not the batch.
    logging.getLogger("distributed").setLevel(logging.INFO if verbose else logging.CRITICAL)
    made = []  # closed at the end, the last made first
    try:
        try:
            # Starting a cluster takes a moment: SIGINT and SIGTERM end it cleanly.
            with _batch.SignalGuard():
                client = _connect(distributed, *choice, verbose, made)
                _check_versions(client)
        except _batch.Interrupted as stop:
            print("carvola: interrupted", file=sys.stderr)
            raise SystemExit(128 + stop.signum) from None
        yield Session(distributed, client)
    finally:
        for thing in reversed(made):
            with contextlib.suppress(Exception):
                thing.close()


def _connect(distributed, kind, value, verbose, made):
    if kind == "local":
        with _sigint_ignored():
            made.append(
                distributed.LocalCluster(
                    n_workers=value,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address="127.0.0.1:0",
                    silence_logs=logging.WARNING if verbose else logging.CRITICAL,
                )
            )
        made.append(distributed.Client(made[-1]))
        return made[-1]
    _probe(value)
    try:
        made.append(distributed.Client(value, timeout=CONNECT_TIMEOUT))
    except (OSError, TimeoutError) as e:
        raise UsageError(f"cannot connect to the scheduler at {value}: {e}") from None
    try:
        made[-1].wait_for_workers(1, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError):
        raise UsageError(f"the scheduler at {value} has no workers") from None
    return made[-1]


def _same_version(version):
    """Refuses a chunk on a worker that joined after the check with another version."""
    if _worker_version() != version:
        raise RuntimeError(f"this worker runs carvola {_worker_version()}, the command {version}")


def _check_versions(client):
    import carvola

    try:
        versions = client.run(_worker_version)
    except Exception as e:  # noqa: BLE001 - a worker without carvola cannot even say
        raise UsageError(f"the workers cannot run carvola: {type(e).__name__}: {e}") from None
    wrong = {worker: version for worker, version in versions.items() if version != carvola.__version__}
    if wrong:
        worker, version = min(wrong.items())
        raise UsageError(
            f"{len(wrong)} of {len(versions)} workers run another carvola version "
            f"(worker {worker} has {version}, this command {carvola.__version__})"
        )


# ----- chunk sizes -----


class ChunkSizer:
    """How many units (files, or bytes of a prompt file) the next task gets. It learns the
    work per unit from the chunks that come back and sizes chunks to hold CHUNK_SECONDS
    of work, less towards the end, so that the tail of a batch still spreads over every
    worker."""

    def __init__(self, first, largest):
        self.first = first
        self.largest = largest
        self.units = 0
        self.seconds = 0.0
        self.rate = None  # seconds a unit, recent chunks weighing most
        self.given = []
        self.returned = 0

    def describe(self, unit):
        """The chunks given so far, for the debug log."""
        if not self.given:
            return f"no chunks of {unit}"
        work = f"{1e3 * self.seconds / self.units:.3g} ms of work a {unit}" if self.units else "no work measured"
        sizes = sorted(self.given)
        return (
            f"{len(sizes)} chunks of {unit}s, {sizes[0]} to {sizes[-1]} (median {sizes[len(sizes) // 2]}); "
            f"{work}; chunks aim at {CHUNK_SECONDS:.2f} s"
        )

    def record(self, units, seconds):
        """A chunk came back: `seconds` of work for `units` (None when it failed)."""
        self.returned += 1
        if not units or seconds is None:
            return
        self.units += units
        self.seconds += seconds
        # The first chunks on a worker also pay for its imports: they soon stop counting.
        rate = seconds / units
        self.rate = rate if self.rate is None else 0.7 * self.rate + 0.3 * rate

    def next(self, remaining, slots):
        """The size of the next chunk, or None to wait: until the first chunks come back,
        one small chunk a worker thread is all that goes out."""
        if not self.rate:
            if len(self.given) - self.returned >= slots:
                return None
            size = self.first
        else:
            size = math.ceil(CHUNK_SECONDS / self.rate)
        # The tail is split evenly over the workers, down to a quarter of a full chunk.
        fair = math.ceil(remaining / (2 * slots))
        size = min(size, max(fair, math.ceil(size / 4)))
        size = max(1, min(size, self.largest, remaining))
        self.given.append(size)
        return size


# ----- running chunks -----


_stop_seen = {}  # stop event name: (when asked, whether set), shared by a worker's chunks
_stop_lock = threading.Lock()


def _stopped(name):
    """Whether this run was told to stop. The scheduler is asked at most every half a
    second by each worker process, so that a chunk pays for no round trip of its own."""
    now = time.monotonic()
    with _stop_lock:
        asked, stopped = _stop_seen.get(name, (-1.0, False))
        if stopped or now - asked < 0.5:
            return stopped
        _stop_seen[name] = (now, stopped)  # other threads use this answer meanwhile
    from distributed import Event

    stopped = Event(name).is_set()
    with _stop_lock:
        if len(_stop_seen) > 64:
            _stop_seen.clear()
        _stop_seen[name] = (now, stopped)
    return stopped


class Chunks:
    """The chunks of one run on the cluster. Iterating submits chunks from `next_chunk()`
    (a (function, args, units) tuple, or None when there is none to submit now), keeps
    `window` of them in flight and yields (units, future) as each finishes, so that the
    caller reports results as they arrive. It waits in short slices and ends early once
    `stopping()` is true."""

    def __init__(self, session, next_chunk, window, stopping=lambda: False):
        self.session = session
        self.next_chunk = next_chunk
        self.window = window
        self.stopping = stopping
        self.flying = {}
        self.finished = queue.SimpleQueue()  # filled by the futures as they finish
        self.running = 0

    def _refill(self):
        while len(self.flying) < self.window and not self.stopping():
            chunk = self.next_chunk()
            if chunk is None:
                return
            function, args, units = chunk
            future = self.session.submit(function, *args)
            self.flying[future] = units
            future.add_done_callback(self.finished.put)

    def __iter__(self):
        self._refill()
        while self.flying and not self.stopping():
            try:
                future = self.finished.get(timeout=0.1)
            except queue.Empty:
                _batch.check_signals()
                continue
            if future in self.flying:  # not yet given out by drain()
                if not future.done():
                    # It finished, then its result was lost with its worker before it was
                    # taken: it is being computed again, and is taken when that finishes.
                    future.add_done_callback(self.finished.put)
                    continue
                yield self.flying.pop(future), future
                # Taken: a result left wanted would be computed again if its worker died.
                future.release()
                self._refill()

    def drain(self):
        """After an interruption: submits nothing more, tells the running chunks to stop
        at their next item, waits up to STOP_WAIT seconds for them and yields what they
        gave. `running` is then the number of chunks it stopped waiting for."""
        self.session.stop()
        futures = list(self.flying)
        with contextlib.suppress(Exception, KeyboardInterrupt, _batch.Interrupted):
            self.session.distributed.wait(futures, timeout=STOP_WAIT)
        for future in futures:
            if future.done():
                yield self.flying.pop(future), future
                future.release()
        self.running = len(self.flying)
        for future in self.flying:
            future.release()
        self.flying.clear()


def outcome(future):
    """A finished chunk's result and None, or None and its error as one line. A result lost
    with its worker since Chunks took it is waited for while it is computed again."""
    if future.status not in ("error", "cancelled"):
        try:
            return future.result(), None
        except Exception as e:  # noqa: BLE001 - the computation again failed
            return None, chunk_failure(e)
    try:
        error = future.exception()
    except Exception as e:  # noqa: BLE001 - a cancelled future raises instead of returning
        error = e
    return None, chunk_failure(error)


def chunk_failure(error):
    """The error of a chunk that gave no result, as one line."""
    name = type(error).__name__
    if name == "KilledWorker":
        return f"KilledWorker: the workers running its chunk died, {error.allowed_failures + 1} times"
    text = str(error).splitlines()[0] if str(error) else ""
    return f"{name}: {text}" if text else name


# ----- prompt files -----

_checkers = {}
_checkers_lock = threading.Lock()


def _checker(run_id, settings):
    """The checker of this run in this worker process, built on first use."""
    with _checkers_lock:
        if run_id not in _checkers:
            from ._common import use_host_module

            use_host_module()
            from carvola import vantor

            while len(_checkers) >= 4:
                _checkers.pop(next(iter(_checkers)))
            _checkers[run_id] = vantor.PromptBanChecker(**settings)
        return _checkers[run_id]


def line_boundary(stream, offset, block=1 << 16):
    """The start of the first line that starts at or after `offset` of a binary file (its
    size when none does). It reads blocks, so a very long line costs no memory."""
    if offset == 0:
        return 0
    stream.seek(offset - 1)
    position = offset - 1
    while data := stream.read(block):
        found = data.find(b"\n")
        if found >= 0:
            return position + found + 1
        position += len(data)
    return position


def read_lines(stream, start, end):
    """The whole lines that start in bytes [start, end) of a binary file, and where they
    begin: ranges that meet give every line once, in order."""
    first = line_boundary(stream, start)
    last = line_boundary(stream, end)
    stream.seek(first)
    return first, stream.read(max(0, last - first))


def _check_range(path, start, end, run_id, settings, as_json, stop_name, version):
    """Screens the lines that start in bytes [start, end) of a prompt file; returns their
    report lines as one text, the clean and banned counts and the seconds it took."""
    import io

    from . import prompts

    _same_version(version)
    began = time.perf_counter()
    if _stopped(stop_name):
        return None
    checker = _checker(run_id, settings)
    with open(path, "rb") as stream:
        first, data = read_lines(stream, start, end)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"not UTF-8 text at byte {first + e.start}") from None
    lines, clean, banned = [], 0, 0
    # Universal newlines, as reading the file in text mode splits it.
    for line in io.StringIO(text, newline=None):
        prompt = line.rstrip("\r\n")
        if not prompt.strip():
            continue
        hits = prompts.hits_of(checker, prompt)
        banned += bool(hits)
        clean += not hits
        lines.append(prompts.report_line(prompt, hits, as_json))
    report = "".join(f"{line}\n" for line in lines)
    return report, clean, banned, time.perf_counter() - began


class PromptFile:
    """Screens a prompt file on the cluster. Iterating yields, in input order, (report
    text, clean, banned) for each byte range, or (None, start, end, error) for a range
    that failed. The client never reads the file: it holds at most two windows of ranges'
    reports. Once `stopping()` is true the iteration ends; `drain()` then yields what the
    running ranges give, as far as the ranges are complete from the start, and `running`
    says how many it gave up on."""

    def __init__(self, session, path, settings, as_json, progress=None, stopping=lambda: False):
        self.session = session
        self.path = path
        self.settings = settings
        self.as_json = as_json
        self.progress = progress
        self.size = os.path.getsize(path)
        self.slots = session.slots()
        self.sizer = ChunkSizer(first=256 * 1024, largest=64 * 1024 * 1024)
        self.position = 0
        self.order = itertools.count()
        self.waiting = {}
        self.expected = 0
        self.chunks = Chunks(session, self._next_chunk, WINDOW * self.slots, stopping)
        self.stopping = stopping
        self.running = 0

    def _next_chunk(self):
        if self.position >= self.size or len(self.waiting) >= 2 * self.chunks.window:
            return None
        size = self.sizer.next(self.size - self.position, self.slots)
        if size is None:
            return None
        start = self.position
        self.position += size
        session = self.session
        args = (self.path, start, self.position, session.run_id, self.settings, self.as_json, session.stop_name, session.version)
        return _check_range, args, (next(self.order), start, self.position)

    def _settle(self, units, future):
        index, start, end = units
        result, error = outcome(future)
        if error is not None:
            self.sizer.record(end - start, None)
            self.waiting[index] = (None, start, end, error)
        elif result is None:
            self.waiting[index] = None  # told to stop before it began
        else:
            report, clean, banned, seconds = result
            self.sizer.record(end - start, seconds)
            self.waiting[index] = (report, clean, banned)
        if self.progress is not None:
            self.progress.update(end - start)

    def _ready(self):
        # A range told to stop before it began (None) ends what can be shown: the lines
        # after it would leave a gap.
        while self.waiting.get(self.expected) is not None:
            result = self.waiting.pop(self.expected)
            self.expected += 1
            yield result

    def __iter__(self):
        for units, future in self.chunks:
            self._settle(units, future)
            yield from self._ready()
        log.debug("%s", self.sizer.describe("byte"))
        if not self.stopping() and (self.position < self.size or self.waiting):
            raise RuntimeError(f"{self.path}: the cluster run ended before the whole file was screened")

    def drain(self):
        yield from self._ready()
        for units, future in self.chunks.drain():
            self._settle(units, future)
        yield from self._ready()
        self.running = self.chunks.running


class ClusterExecutor:
    """Runs the items of a file batch on the cluster, in chunks: the batch's executor for
    --cluster. Workers write only the temporary files the plan gave each item; the command
    publishes and reports them as chunks come back. A chunk that gives no result (its
    workers died `allowed-failures` times, or it could not run) fails its files."""

    def __init__(self, choice, verbosity=0):
        self.choice = choice
        self.verbosity = verbosity
        self.stack = contextlib.ExitStack()
        self.session = None
        self.chunks = None
        self.sizer = ChunkSizer(first=1, largest=10_000)
        self.still_running = 0
        self.items = []

    def connect(self):
        """Connects now, so that a cluster that cannot be used is a usage error before any
        work starts."""
        if self.session is None:
            self.session = self.stack.enter_context(connect(self.choice, verbose=self.verbosity >= 2))
        return self

    def __enter__(self):
        return self.connect()

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is not None and self.session is not None:
            self.session.stop()
        self.stack.close()
        if self.items:
            _remove_run_temps(self.items)
        return False

    def results(self, work, items, options):
        session = self.session
        self.ready = collections.deque()
        self.items = items
        slots = session.slots()
        unsent = iter(enumerate(items))
        left = len(items)

        def next_chunk():
            nonlocal left
            size = self.sizer.next(left, slots) if left else None
            if size is None:
                return None
            chunk = [(index, _absolute(item)) for index, item in itertools.islice(unsent, size)]
            left -= len(chunk)
            return _run_files, (work, chunk, options, session.stop_name, session.version), chunk

        self.chunks = Chunks(session, next_chunk, WINDOW * slots)
        for chunk, future in self.chunks:
            self.ready.extend(self._settle(chunk, future))
            yield from self._deliver()
        log.debug("%s", self.sizer.describe("file"))
        if left:
            raise RuntimeError(f"the cluster run ended with {left} files not sent")

    def _deliver(self):
        # One result at a time off a queue, so that an interruption between two loses none.
        while self.ready:
            yield self.ready.popleft()

    def drain(self):
        """The results not yet delivered and those of the chunks that were running when
        the batch was interrupted, waited for a bounded time (see Chunks.drain)."""
        if self.chunks is None:
            return
        yield from self._deliver()
        for chunk, future in self.chunks.drain():
            self.ready.extend(self._settle(chunk, future))
            yield from self._deliver()
        self.still_running = self.chunks.running

    def _settle(self, chunk, future):
        result, reason = outcome(future)
        if reason is None:
            results, seconds = result
            self.sizer.record(len(results), seconds)
            shipped = dict(chunk)
            for index, result in results:
                yield index, _as_given(result, shipped[index], self.items[index])
            return
        self.sizer.record(len(chunk), None)
        for index, _ in chunk:
            yield index, {"input": self.items[index]["source"], "ok": False, "error": f"worker failed: {reason}"}


def _remove_run_temps(items):
    """Removes every temporary file of this run from the output folders, once the client
    is gone: a chunk whose worker died after it finished is computed again, and the
    outputs it writes then are never published."""
    first = next((item for item in items if item["temps"]), None)
    if first is None:
        return
    # A temporary name is "." + the output's name + this run's ending.
    ending = os.path.basename(first["temps"][0]).removeprefix("." + os.path.basename(first["outputs"][0]))
    for folder in {os.path.dirname(temp) or "." for item in items for temp in item["temps"]}:
        with contextlib.suppress(OSError), os.scandir(folder) as entries:
            for entry in entries:
                if entry.name.startswith(".") and entry.name.endswith(ending):
                    with contextlib.suppress(OSError):
                        os.unlink(entry.path)


# Workers resolve paths in their own working folder: items travel with absolute paths,
# and results come back with the paths as the command was given them.


def _absolute(item):
    shipped = dict(item)
    shipped["source"] = os.path.abspath(item["source"])
    shipped["outputs"] = [os.path.abspath(path) for path in item["outputs"]]
    shipped["temps"] = [os.path.abspath(path) for path in item["temps"]]
    return shipped


def _as_given(result, shipped, given):
    back = {shipped["source"]: given["source"]}
    for key in ("outputs", "temps"):
        back.update(zip(shipped[key], given[key]))
    for key, value in result.items():
        if isinstance(value, str) and value in back:
            result[key] = back[value]
    return result


def _run_files(work, items, options, stop_name, version):
    """Runs one chunk of (index, item) on a worker; returns [(index, result)] and the
    seconds the chunk took. It stops early, between items, once the run is told to stop."""
    _same_version(version)
    began = time.perf_counter()
    results = []
    for index, item in items:
        if _stopped(stop_name):
            break
        # A temporary file of this run's token is this item's own, left by an earlier
        # attempt at this chunk on a worker that died: it is replaced, not an obstacle.
        _batch.remove_temps(item)
        results.append((index, _batch.run_item(work, item, options)))
    return results, time.perf_counter() - began
