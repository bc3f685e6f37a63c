"""Batches of files: plan everything in the parent, run the items in an executor, publish
and report each result in the parent, stop cleanly on SIGINT and SIGTERM.

The parent plans before any work starts: the inputs, the output names (unique within the
run), what to do with outputs that exist, the output folder. A work function runs one item
wherever the executor puts it and writes its output only to the temporary file the plan
gave it; the parent renames that file into place in the same step as it reports the
result, with signals held off between the two. So every output reported exists, every
output of the run that exists was reported, and after an interruption the temporary files
of unfinished items are all the parent has to remove.

Executors: `InProcess` and `ProcessPool` here, `ClusterExecutor` in cluster.py. An executor
is a context manager whose `results(work, items, options)` yields `(index, result)` pairs
as items finish, where `result` is what `run_item(work, items[index], options)` returned,
or a failure made with `crashed(item, exception)`. It must wait in short slices (the
signal handlers raise in the parent's main thread), and its `__exit__`, called with an
exception, cancels what has not started and stops what is running before it returns, so
that no worker writes afterwards. An executor whose running work cannot be killed (on
other machines) also has `drain()`, which yields what that work gives within a bounded
wait after an interruption, and `still_running`, how much was left when the wait ended.
"""

import concurrent.futures
import contextlib
import multiprocessing
import os
import pathlib
import re
import secrets
import signal
import sys
import threading
import warnings

from ._common import UsageError

# ----- inputs -----


def image_suffixes():
    """File name suffixes of every format Pillow can open, from Pillow's own registry."""
    from PIL import Image

    return {suffix.lower() for suffix, name in Image.registered_extensions().items() if name in Image.OPEN}


def _resolved(path):
    return pathlib.Path(os.path.realpath(path))


def scan_inputs(paths, *, exclude=None):
    """(source, relative path) for every input, and the number of other files skipped in
    the folders. Folders give their image files recursively, in name order; the folder
    `exclude` (the output folder) and everything below it are never entered. Files named
    on the command line are taken whatever their suffix."""
    suffixes = image_suffixes()
    excluded = _resolved(exclude) if exclude is not None else None
    found, skipped = [], 0
    for given in paths:
        path = pathlib.Path(given)
        if path.is_dir():
            for folder, subfolders, files in os.walk(path):
                subfolders[:] = sorted(d for d in subfolders if _resolved(os.path.join(folder, d)) != excluded)
                for name in sorted(files):
                    child = pathlib.Path(folder, name)
                    if child.suffix.lower() in suffixes and child.is_file():
                        found.append((child, child.relative_to(path)))
                    else:
                        skipped += 1
        elif path.is_file():
            found.append((path, pathlib.Path(path.name)))
        else:
            raise UsageError(f"no such file or folder: {given}")
    if not found:
        raise UsageError("no image files among the inputs" + (f" ({skipped} other files skipped)" if skipped else ""))
    return found, skipped


# ----- the plan -----


def _key(path):
    # Names that differ only in letter case are the same file on some file systems.
    return os.path.normcase(str(path)).casefold()


def check_output_folder(out, inputs):
    """The output folder exists or can be created, is writable and is not an input folder."""
    resolved = _resolved(out)
    for given in inputs:
        if pathlib.Path(given).is_dir() and _resolved(given) == resolved:
            raise UsageError(f"output folder {out} is an input folder; give another --out")
    if out.exists() and not out.is_dir():
        raise UsageError(f"output folder {out} is not a folder")
    existing = out
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(f"output folder {out} cannot be created: {existing} is not a folder")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"output folder {out} cannot be {'written' if existing == out else 'created'}: permission denied")


def plan_batch(found, out, names, *, existing):
    """The items of a batch with their output paths, and the items settled before any work.

    `names(relative, keep_suffix)` gives the output paths (relative to `out`) an input may
    get; an input whose name clashes with another input's keeps its own suffix in its
    names (hopper.gif gives hopper.gif.png), which depends only on the set of inputs. A
    clash that keeps remains, or an output that would replace an input, is a usage error.
    `existing` is "overwrite", "skip" or "fail": what happens to an item with an output
    that exists. Returns (items, settled) where settled is a list of (item, result)."""
    inputs = {_key(_resolved(source)) for source, _ in found}

    def owners(keep):
        by_name = {}
        for index, (_, relative) in enumerate(found):
            for name in names(relative, keep[index]):
                by_name.setdefault(_key(name), set()).add(index)
        return by_name

    keep = [False] * len(found)
    for owned in owners(keep).values():
        if len(owned) > 1:
            for index in owned:
                keep[index] = True
    clashes = sorted((sorted(owned) for owned in owners(keep).values() if len(owned) > 1))
    if clashes:
        shown = "; ".join(" and ".join(str(found[i][0]) for i in owned) for owned in clashes[:3])
        more = f" and {len(clashes) - 3} more" if len(clashes) > 3 else ""
        raise UsageError(f"output names clash even with the source suffix kept: {shown}{more}")

    token = secrets.token_hex(4)
    items, settled = [], []
    for index, (source, relative) in enumerate(found):
        outputs = [out / name for name in names(relative, keep[index])]
        for output in outputs:
            if _key(_resolved(output)) in inputs:
                raise UsageError(f"output {output} would replace the input of that name; give another --out")
        item = {
            "source": str(source),
            "outputs": [str(o) for o in outputs],
            # A dot keeps temporary files out of folder listings and out of later scans.
            "temps": [str(o.with_name(f".{o.name}.{token}.part")) for o in outputs],
        }
        present = [o for o in outputs if os.path.lexists(o)]
        if present and existing == "skip":
            settled.append((item, {"input": item["source"], "ok": True, "skipped": str(present[0])}))
        elif present and existing == "fail":
            reason = f"output exists: {present[0]} (--overwrite replaces it, --skip-existing skips it)"
            settled.append((item, {"input": item["source"], "ok": False, "error": reason}))
        else:
            items.append(item)
    return items, settled


def make_output_folder(out):
    """Creates the output folder, the last step of planning."""
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise UsageError(f"output folder {out} cannot be created: {e.strerror}") from None


def no_outputs(relative, keep_suffix):
    """The names of a batch that writes nothing (`ratio`)."""
    return []


# ----- one item, wherever it runs -----


def write_temp(temp, data):
    """Writes `data` to a new temporary file; it gets the permissions a new file gets
    under the umask, which the rename into place keeps."""
    pathlib.Path(temp).parent.mkdir(parents=True, exist_ok=True)
    handle = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


_ADDRESS = re.compile(r"<([\w.]+) object at 0x[0-9a-fA-F]+>")


def describe_error(error):
    """One line for a failed item, free of object addresses."""
    from PIL import UnidentifiedImageError

    if isinstance(error, UnidentifiedImageError):
        return "not an image Pillow can read"
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    text = str(error).strip().splitlines()[0] if str(error).strip() else ""
    text = _ADDRESS.sub(r"<\1>", text)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def run_item(work, item, options):
    """Runs `work(source, outputs, temps, options)` for one item, in this process or a
    worker; a failure becomes a result and leaves no temporary file. Warnings (Pillow's
    about odd files) are collected into the result instead of printed."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = {"input": item["source"], **work(item["source"], item["outputs"], item["temps"], options)}
            result["ok"] = True
        except Exception as e:  # noqa: BLE001 - one bad file never stops a batch
            remove_temps(item)
            result = {"input": item["source"], "ok": False, "error": describe_error(e)}
    if caught:
        messages = (str(w.message).strip() for w in caught)
        result["warnings"] = list(dict.fromkeys(m.splitlines()[0] for m in messages if m))
    return result


def crashed(item, error):
    """The result of an item whose worker failed outside `run_item` (it died, say)."""
    return {"input": item["source"], "ok": False, "error": f"worker failed: {type(error).__name__}: {error}"}


# ----- executors -----


class InProcess:
    """Runs the items one after another in this process (--jobs 1)."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def results(self, work, items, options):
        for index, item in enumerate(items):
            yield index, run_item(work, item, options)


def _worker_started(verbosity):
    # SIGINT is the parent's to handle: a worker stopped in the middle of a queue
    # operation leaves the pool hanging. The parent kills workers when it stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from ._common import configure_logging

    configure_logging(verbosity)


class ProcessPool:
    """Runs the items in `jobs` worker processes. Workers come from a fork server, so none
    inherits the parent's threads (the progress bar's) or their locks."""

    def __init__(self, jobs, verbosity=0):
        self.jobs = jobs
        self.verbosity = verbosity
        self.pool = None

    def __enter__(self):
        self.pool = concurrent.futures.ProcessPoolExecutor(
            max_workers=self.jobs,
            mp_context=multiprocessing.get_context("forkserver"),
            initializer=_worker_started,
            initargs=(self.verbosity,),
        )
        return self

    def results(self, work, items, options):
        # The pool starts its helper processes (the fork server, the resource tracker) as
        # work is submitted. They start with SIGINT blocked, which they keep, so that a
        # Ctrl-C reaching the whole process group cannot break one while it starts; the
        # parent gets a signal that arrived meanwhile as soon as the submitting is done.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            futures = {self.pool.submit(run_item, work, item, options): index for index, item in enumerate(items)}
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        pending = set(futures)
        while pending:
            # Short waits, so that a signal handler gets to run in the main thread.
            done, pending = concurrent.futures.wait(pending, timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED)
            check_signals()
            for future in sorted(done, key=futures.get):
                index = futures[future]
                try:
                    result = future.result()
                except Exception as e:  # noqa: BLE001 - a worker that died takes only its item
                    result = crashed(items[index], e)
                yield index, result

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is None:
            self.pool.shutdown(wait=True)
            return False
        # Stopping early: nothing more starts, and running workers are killed rather than
        # waited for; their temporary files are the caller's to remove, once they are gone.
        processes = list((getattr(self.pool, "_processes", None) or {}).values())
        # The pool's own threads may trip over the workers killed under them; the batch
        # is over and their complaints would only garble the last lines.
        threading.excepthook = lambda args: None
        for process in processes:
            with contextlib.suppress(Exception):
                process.kill()
        for process in processes:
            with contextlib.suppress(Exception):
                process.join(5)
        # The pool notices its dead workers and releases its queues; that is waited for
        # a moment only, in a thread, so that it can never hold up the exit.
        closing = threading.Thread(target=self.pool.shutdown, kwargs={"cancel_futures": True}, daemon=True)
        closing.start()
        closing.join(2)
        return False


def executor_for(args):
    """The executor the options ask for. A new kind of executor is chosen here. A cluster
    is connected to at once, so that one that cannot be used is a usage error."""
    if getattr(args, "cluster", None):
        from .cluster import ClusterExecutor

        return ClusterExecutor(args.cluster, args.verbose).connect()
    return ProcessPool(args.jobs, args.verbose) if args.jobs > 1 else InProcess()


# ----- signals -----


class Interrupted(BaseException):
    """SIGINT or SIGTERM reached the parent; `signum` says which."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class SignalGuard:
    """Turns SIGINT and SIGTERM into `Interrupted`, raised in the main thread, except
    inside `held()`, where the signal waits until the block ends. Only the first signal
    raises: cleaning up after it is not interrupted by a second one.

    A handler's raise can land where Python cannot pass it on, in a garbage-collector
    callback or a `__del__`, which report it as unraisable and go on. The guard takes
    that report back, and the executors' wait loops raise the signal again through
    `check_signals()`."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)
    active = None  # the guard of the batch under way

    def __init__(self):
        self.holding = False
        self.pending = None
        self.raised = False
        self.previous = {}

    def _handle(self, signum, frame):
        if self.raised:
            return
        self.pending = self.pending or signum
        if self.holding:
            return
        self.raised = True
        raise Interrupted(signum)

    def _unraisable(self, unraisable):
        if isinstance(unraisable.exc_value, Interrupted):
            self.raised = False  # swallowed: check() raises it again
            return
        self.previous_hook(unraisable)

    def check(self):
        if self.pending and not self.raised and not self.holding:
            self.raised = True
            raise Interrupted(self.pending)

    def __enter__(self):
        for signum in self.SIGNALS:
            self.previous[signum] = signal.signal(signum, self._handle)
        self.previous_hook, sys.unraisablehook = sys.unraisablehook, self._unraisable
        self.previous_active, SignalGuard.active = SignalGuard.active, self
        return self

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        sys.unraisablehook = self.previous_hook
        SignalGuard.active = self.previous_active
        return False

    @contextlib.contextmanager
    def held(self):
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        if self.pending and not self.raised:
            self.raised = True
            raise Interrupted(self.pending)


def check_signals():
    """Called by executors between their short waits: raises a signal whose first raise
    was swallowed (see SignalGuard)."""
    if SignalGuard.active is not None:
        SignalGuard.active.check()


# ----- running and reporting -----


def publish(temp, output, overwrite):
    """Moves a finished temporary file into place. Without `overwrite` an output that
    appeared meanwhile is kept and the item fails."""
    if overwrite:
        os.replace(temp, output)
        return
    try:
        os.link(temp, output)  # fails, atomically, when the output exists
    except FileExistsError:
        os.unlink(temp)
        raise
    except OSError:  # a file system without hard links
        if os.path.lexists(output):
            os.unlink(temp)
            raise FileExistsError(17, "File exists", output) from None
        os.replace(temp, output)
        return
    os.unlink(temp)


class Batch:
    """Counts and reports the results of one batch."""

    def __init__(self, output, describe, total, *, verbose, skipped_files):
        self.output = output
        self.describe = describe
        self.total = total
        self.verbose = verbose
        self.skipped_files = skipped_files
        self.done = self.failed = self.skipped = self.warnings = 0
        self.bar = None

    def report(self, result):
        if result["ok"] and "skipped" in result:
            self.skipped += 1
            if self.output.as_json:
                self.output.item(result, "")
            elif self.verbose:
                self.output.error(f"skipped: {result['input']}: {result['skipped']} exists")
        elif result["ok"]:
            self.done += 1
            self.output.item(result, self.describe(result))
        else:
            self.failed += 1
            if self.output.as_json:
                self.output.item(result, "")
            else:
                self.output.error(f"failed: {result['input']}: {result['error']}")
        found = result.get("warnings", [])
        self.warnings += len(found)
        if self.verbose:
            for message in found:
                self.output.error(f"warning: {result['input']}: {message}")
        if self.bar is not None:
            self.bar.update(1)

    def summary(self, interrupted=False):
        summary = {"done": self.done, "failed": self.failed, "total": self.total}
        if self.skipped:
            summary["skipped_existing"] = self.skipped
        if self.skipped_files:
            summary["skipped_files"] = self.skipped_files
        if self.warnings:
            summary["warnings"] = self.warnings
        if interrupted:
            summary["interrupted"] = True
        if self.output.as_json:
            self.output.item({"summary": summary}, "")
        parts = [f"{self.done} done", f"{self.failed} failed"]
        if self.skipped:
            parts.append(f"{self.skipped} skipped (output exists)")
        text = ", ".join(parts) + f", {self.total} in all"
        if interrupted:
            text += f"; interrupted, {self.total - self.done - self.failed - self.skipped} not done"
        if self.skipped_files:
            text += f"; {self.skipped_files} other files in the folders skipped"
        if self.warnings:
            text += f"; {self.warnings} warnings" + ("" if self.verbose else " (-v shows them)")
        if not self.output.as_json or interrupted:
            self.output.error(text)


def progress(total, unit="file", unit_scale=False):
    """A progress bar on standard error when it is a terminal, else None."""
    if not sys.stderr.isatty():
        return contextlib.nullcontext(None)
    from tqdm import tqdm

    return tqdm(total=total, file=sys.stderr, unit=unit, unit_scale=unit_scale, leave=False)


def run_batch(items, settled, work, options, *, executor, output, describe, verbose=0, skipped_files=0, overwrite=False):
    """Runs `work` on every planned item in `executor`, publishing and reporting each
    result as it arrives, and prints a summary. Returns the exit status: 0 when every item
    succeeded, 1 when any failed, 128 + the signal's number when interrupted."""
    batch = Batch(output, describe, len(items) + len(settled), verbose=verbose, skipped_files=skipped_files)
    finished = [False] * len(items)
    interrupted = None
    with progress(batch.total) as bar, SignalGuard() as guard:
        batch.bar = output.bar = bar
        try:
            with guard.held():
                for _, result in settled:
                    batch.report(result)
            with executor:

                def deliver(results):
                    for index, result in results:
                        with guard.held():
                            _finish(items[index], result, overwrite)
                            finished[index] = True
                            batch.report(result)

                try:
                    deliver(executor.results(work, items, options))
                except Interrupted:
                    # Work that cannot be killed (on other machines) is told to stop and
                    # waited for a bounded time; what it finishes meanwhile is counted.
                    if hasattr(executor, "drain"):
                        deliver(executor.drain())
                        if executor.still_running:
                            output.error(f"{executor.still_running} chunks were still running when the wait ended")
                    raise
        except Interrupted as stop:
            interrupted = stop.signum
        finally:
            # Workers are gone by now (the executor stopped them); what they left is
            # removed, and a signal arriving from here on waits until the summary.
            guard.holding = True
            for item, done in zip(items, finished):
                if not done:
                    remove_temps(item)
        batch.bar = output.bar = None
        interrupted = interrupted or guard.pending
    batch.summary(interrupted is not None)
    if interrupted is not None:
        return 128 + interrupted
    return 0 if batch.failed == 0 else 1


def remove_temps(item):
    for temp in item["temps"]:
        with contextlib.suppress(OSError):
            os.unlink(temp)


def _finish(item, result, overwrite):
    """Publishes a successful item's temporary file as its output. A failed item's
    temporary files are removed: a worker that died in the middle of writing leaves one."""
    if not result["ok"]:
        remove_temps(item)
        return
    if "temp" not in result:
        return
    temp = result.pop("temp")
    try:
        publish(temp, result["output"], overwrite)
    except OSError as e:
        remove_temps(item)
        result.clear()
        result.update({"input": item["source"], "ok": False, "error": describe_error(e)})
