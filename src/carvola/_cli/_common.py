"""What every subcommand shares: user errors, output, the host module, batches of files."""

import concurrent.futures
import contextlib
import json
import os
import pathlib
import sys
import tempfile

IMAGE_SUFFIXES = {
    ".png", ".jpg", ".jpeg", ".gif", ".bmp", ".tif", ".tiff", ".webp", ".tga", ".ppm", ".pgm", ".pbm",
    ".jp2", ".ico", ".psd", ".pcx", ".sgi", ".dds", ".eps", ".im", ".flc", ".fli", ".avif",
}  # fmt: skip


class UsageError(Exception):
    """A mistake in how the command was called: one line, exit status 2."""


def use_host_module():
    """Makes `pelvane` importable: the host's own when it has one, else the stand-in."""
    try:
        import pelvane  # noqa: F401
    except ImportError:
        import carvola._host

        sys.modules.setdefault("pelvane", carvola._host)


class Output:
    """Text for people or JSON for programs, on standard output."""

    def __init__(self, as_json):
        self.as_json = as_json

    def document(self, data, text):
        """One result: `data` as one JSON document, or `text` (a string or lines)."""
        if self.as_json:
            print(json.dumps(data, ensure_ascii=False, sort_keys=False))
        else:
            print(text if isinstance(text, str) else "\n".join(text))

    def item(self, data, text):
        """One result of a batch: a JSON line, or a line of text."""
        if self.as_json:
            print(json.dumps(data, ensure_ascii=False), flush=True)
        else:
            print(text, flush=True)


def parse_color(text, channels):
    """"255,255,255" or "255,255,255,0" into a tuple of ints."""
    try:
        parts = tuple(int(p) for p in text.split(","))
    except ValueError:
        raise UsageError(f"colour {text!r} is not comma-separated integers") from None
    if len(parts) not in channels or not all(0 <= p <= 255 for p in parts):
        wanted = " or ".join(str(c) for c in sorted(channels))
        raise UsageError(f"colour {text!r} needs {wanted} values from 0 to 255")
    return parts


def parse_size(text):
    """"1024x768" into (1024, 768)."""
    width, sep, height = text.lower().partition("x")
    if not sep or not width.strip().isdigit() or not height.strip().isdigit():
        raise UsageError(f"size {text!r} is not WIDTHxHEIGHT")
    size = int(width), int(height)
    if min(size) < 1 or max(size) > 65535:
        raise UsageError(f"size {text!r} is out of range (1 to 65535 a side)")
    return size


# ----- batches of files -----


def collect_inputs(paths):
    """(source file, path relative to the output folder) for every input path; folders
    give their image files, found recursively, with their relative paths."""
    found = []
    for given in paths:
        path = pathlib.Path(given)
        if path.is_dir():
            for child in sorted(p for p in path.rglob("*") if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES):
                found.append((child, child.relative_to(path)))
        elif path.is_file():
            found.append((path, pathlib.Path(path.name)))
        else:
            raise UsageError(f"no such file or folder: {given}")
    if not found:
        raise UsageError("no image files among the inputs")
    return found


def write_atomically(target, data):
    """Writes `data` to `target` through a temporary file in the same folder, so the target
    is either complete or untouched."""
    target.parent.mkdir(parents=True, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _guarded(work, source, relative, options):
    """Runs one item in the current process or a worker; failures become results."""
    try:
        result = work(source, relative, options)
        result.setdefault("input", str(source))
        result["ok"] = True
        return result
    except Exception as e:  # noqa: BLE001 - one bad file never stops a batch
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        return {"input": str(source), "ok": False, "error": f"{type(e).__name__}: {reason}"}


def _progress(total):
    if not sys.stderr.isatty():
        return contextlib.nullcontext(None)
    from tqdm import tqdm

    return tqdm(total=total, file=sys.stderr, unit="file", leave=False)


def run_batch(items, work, options, *, jobs, output, describe):
    """Runs `work(source, relative, options)` for every item, in `jobs` processes, printing
    each result as it arrives (`describe(result)` is its text line) and a summary.
    Returns the exit status: 0 when every item succeeded, 1 otherwise."""
    done = failed = 0
    with _progress(len(items)) as bar:

        def report(result):
            nonlocal done, failed
            if result["ok"]:
                done += 1
                output.item(result, describe(result))
            else:
                failed += 1
                if output.as_json:
                    output.item(result, "")
                else:
                    print(f"failed: {result['input']}: {result['error']}", file=sys.stderr, flush=True)
            if bar is not None:
                bar.update(1)

        if jobs <= 1:
            for source, relative in items:
                report(_guarded(work, source, relative, options))
        else:
            with concurrent.futures.ProcessPoolExecutor(max_workers=jobs) as pool:
                futures = {pool.submit(_guarded, work, s, r, options): s for s, r in items}
                for future in concurrent.futures.as_completed(futures):
                    try:
                        result = future.result()
                    except Exception as e:  # noqa: BLE001 - a worker that died takes only its item
                        result = {"input": str(futures[future]), "ok": False, "error": f"{type(e).__name__}: {e}"}
                    report(result)
    summary = {"done": done, "failed": failed, "total": len(items)}
    if output.as_json:
        print(json.dumps({"summary": summary}))
    else:
        print(f"{done} done, {failed} failed, {len(items)} in all", file=sys.stderr)
    return 0 if failed == 0 else 1
