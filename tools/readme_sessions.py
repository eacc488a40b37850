"""The README's shell sessions: run their commands, and rewrite the output they show.

A session is a ```console block: `$ COMMAND` lines, each followed by the
output it prints. Commands are `./dev run ARGS` or `vexlora ARGS`, run here as
`python -m vexlora ARGS` with the interpreter running this script, from the
repository root; `< FILE` feeds FILE to standard input.

    .venv/bin/python tools/readme_sessions.py     # after a detector change: refresh the shown output

tests/test_readme.py checks that the shown output is still what the tool prints.
"""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SESSION = re.compile(r"```console\n(.*?)```", re.S)
_TOOL = {"./dev run": [sys.executable, "-m", "vexlora"], "vexlora": [sys.executable, "-m", "vexlora"]}


def commands(text: str) -> list[tuple[str, list[str]]]:
    """(command, the output lines shown under it) for every `$ ` line of every session in ``text``."""
    found: list[tuple[str, list[str]]] = []
    for session in SESSION.findall(text):
        for line in session.splitlines():
            if line.startswith("$ "):
                found.append((line[2:], []))
            elif found:
                found[-1][1].append(line)
    return found


def run(command: str) -> tuple[int, list[str]]:
    """Run a README command; its exit status and its standard output lines."""
    words = shlex.split(command)
    stdin = Path("/dev/null")
    if "<" in words:
        at = words.index("<")
        stdin = ROOT / words[at + 1]
        del words[at : at + 2]
    for prefix, replacement in _TOOL.items():
        head = prefix.split()
        if words[: len(head)] == head:
            words = replacement + words[len(head) :]
            break
    else:
        raise ValueError(f"README command not understood: {command}")
    with open(stdin, "rb") as source:
        result = subprocess.run(words, stdin=source, capture_output=True, text=True, cwd=ROOT, timeout=300)
    return result.returncode, result.stdout.splitlines()


def _refresh(match: re.Match[str]) -> str:
    lines = []
    for command, _ in commands(match.group(0)):
        lines += [f"$ {command}", *run(command)[1]]
    return "```console\n" + "\n".join(lines) + "\n```"


def main() -> None:
    text = README.read_text(encoding="utf-8")
    README.write_text(SESSION.sub(_refresh, text), encoding="utf-8")


if __name__ == "__main__":
    main()
