"""The check subcommand: prompts against the banned-word list."""

import json
import os
import signal
import sys

from ._common import Output, UsageError, cluster_option, use_host_module


def _prompts(args):
    prompts = list(args.prompts)
    if args.file:
        try:
            stream = sys.stdin if args.file == "-" else open(args.file, encoding="utf-8")
        except OSError as e:
            raise UsageError(f"cannot read {args.file}: {e.strerror}") from None
        with stream:
            prompts += [line.rstrip("\r\n") for line in stream]
    elif not prompts:
        if sys.stdin.isatty():
            raise UsageError("give prompts as arguments, with --file, or on standard input")
        prompts = [line.rstrip("\r\n") for line in sys.stdin]
    return [p for p in prompts if p.strip()]


def run_check(args):
    use_host_module()
    from carvola import vantor

    settings = {
        "ban_word_file": args.words,
        "ignore_case": not args.case_sensitive,
        "builtin_words": list(args.word),
        "use_default": not args.no_default,
        "exclude_words": list(args.exclude),
    }
    try:
        checker = vantor.PromptBanChecker(**settings)
    except FileNotFoundError as e:
        raise UsageError(str(e)) from None
    except (ValueError, UnicodeDecodeError, OSError) as e:
        raise UsageError(f"cannot load the word file {args.words}: {e}") from None
    if args.cluster:
        return _check_on_cluster(args, settings, checker)
    prompts = _prompts(args)
    banned = 0
    for prompt in prompts:
        hits = hits_of(checker, prompt)
        banned += bool(hits)
        print(report_line(prompt, hits, args.json), flush=True)
    return _summary(args, len(prompts) - banned, banned)


def _summary(args, clean, banned, failed=0, interrupted=False):
    summary = {"clean": clean, "banned": banned, "total": clean + banned}
    if failed:
        summary["failed_ranges"] = failed
    if interrupted:
        summary["interrupted"] = True
    if args.json:
        print(json.dumps({"summary": summary}, ensure_ascii=False), flush=True)
    elif summary["total"] > 1 or failed or interrupted:
        text = f"{clean} clean, {banned} banned, {summary['total']} in all"
        text += f"; {failed} parts of the file could not be screened" if failed else ""
        text += "; interrupted" if interrupted else ""
        print(text, file=sys.stderr, flush=True)
    return 1 if banned or failed else 0


def hits_of(checker, prompt):
    """The banned words in `prompt`, as the checker reports them."""
    try:
        checker.check(prompt)
        return []
    except sys.modules["carvola.vantor"].PromptBanError as e:  # loaded with the checker
        return sorted(getattr(e, "data", None) or checker.find_matched_words(prompt))


def report_line(prompt, hits, as_json):
    """The line that reports one prompt, as text or as a JSON line."""
    if as_json:
        return json.dumps({"prompt": prompt, "banned": bool(hits), "hits": hits}, ensure_ascii=False)
    return f"banned ({', '.join(hits)}): {prompt}" if hits else f"clean: {prompt}"


def _check_on_cluster(args, settings, checker):
    """Prompts given as arguments are screened here; the prompt file by the workers, in
    byte ranges, with the same lines in the same order as without the cluster."""
    from . import _batch, cluster

    if not args.file or args.file == "-":
        raise UsageError("--cluster screens a prompt file (--file PATH) that every worker can read")
    path = os.path.abspath(args.file)
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror}") from None
    if args.words:
        # Workers run elsewhere: they read the same word file by its full path.
        settings = {**settings, "ban_word_file": os.path.abspath(args.words)}
    output = Output(args.json)
    clean = banned = failed = 0
    for prompt in args.prompts:
        if prompt.strip():
            hits = hits_of(checker, prompt)
            banned += bool(hits)
            clean += not hits
            output.line(report_line(prompt, hits, args.json))

    def show(results):
        nonlocal clean, banned, failed
        for result in results:
            if result[0] is None:
                _, start, end, error = result
                failed += 1
                output.error(f"failed: {args.file} (the lines from byte {start} to {end}): {error}")
                continue
            report, range_clean, range_banned = result
            # A signal that interrupts a large write to a full pipe cuts it short, losing
            # the rest: the signals wait until the range's lines are written.
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            try:
                output.line(report.removesuffix("\n"))
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            clean += range_clean
            banned += range_banned

    with (
        cluster.connect(args.cluster, verbose=args.verbose >= 2) as session,
        _batch.progress(os.path.getsize(path), unit="B", unit_scale=True) as bar,
        _batch.SignalGuard() as guard,
    ):
        # Signals are only noted, and the screening looks between results: a line is never
        # cut, and what is shown stays the file's first lines, in order.
        guard.holding = True
        output.bar = bar
        screening = cluster.PromptFile(session, path, settings, args.json, bar, stopping=lambda: guard.pending)
        show(screening)
        stopped = guard.pending
        if stopped:  # ranges running on the workers are told to stop and waited for, briefly
            show(screening.drain())
        output.bar = None
    status = _summary(args, clean, banned, failed, interrupted=stopped is not None)
    if stopped is None:
        return status
    if screening.running:
        output.error(f"{screening.running} parts of the file were still being screened when the wait ended")
    return 128 + stopped


def add_parsers(subparsers, common):
    p = subparsers.add_parser(
        "check", parents=[common], help="screen prompts for banned words",
        description="Check prompts against the banned-word list: the built-in list, words given with --word "
        "and a word file. Exit status 0 when every prompt is clean, 1 when any holds a banned word.",
    )  # fmt: skip
    p.add_argument("prompts", nargs="*", metavar="PROMPT", help="prompts to check (default: standard input)")
    p.add_argument("--file", "-f", help="a file of prompts, one per line (- for standard input)")
    p.add_argument("--words", help="a word file: text (one word per line) or a pickled list (.pkl, .pickle)")
    p.add_argument("--word", action="append", default=[], help="an extra banned word (repeatable)")
    p.add_argument("--exclude", action="append", default=[], help="a word to allow (repeatable)")
    p.add_argument("--no-default", action="store_true", help="leave out the built-in word list")
    p.add_argument("--case-sensitive", action="store_true", help="match letter case exactly")
    p.add_argument(
        "--cluster", type=cluster_option, metavar="ADDRESS|local:N",
        help="screen --file on a Dask cluster: a scheduler address, or local:N worker processes",
    )  # fmt: skip
    p.set_defaults(run=run_check, parser=p)
