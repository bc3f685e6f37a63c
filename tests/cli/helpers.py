"""Running the installed carvola command as a user or a script would."""

import json
import os
import pathlib
import subprocess
import sys

COMMAND = pathlib.Path(sys.executable).with_name("carvola")


def carvola(*args, stdin=None, timeout=120, umask=None):
    return subprocess.run(
        [str(COMMAND), *map(str, args)], input=stdin, capture_output=True, text=True, timeout=timeout,
        preexec_fn=None if umask is None else (lambda: os.umask(umask)),
    )  # fmt: skip


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def results(run):
    """A batch's result lines by input path."""
    return {line["input"]: line for line in json_lines(run.stdout) if "input" in line}


def summary(run):
    return json_lines(run.stdout)[-1]["summary"]
