"""The `vexlora` command: inputs, output forms, exit codes and the conditions that must not end in a traceback.

Most tests run the tool in a subprocess, as a user would; the few conditions a
real payload cannot produce on demand (an undecodable payload, MemoryError,
slow progress) drive `main` in-process with a stand-in detector.
"""

import errno
import io
import json
import os
import pty
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vexlora
from vexlora import cli
from vexlora.detector import Detection, Guess

FRENCH = "Le cœur a ses raisons que la raison ne connaît point. Nous le sentons en mille choses. " * 4
TEXT = FRENCH.encode("cp1252")
BINARY = bytes(range(256)) * 8 + b"\x00" * 512
LINE = re.compile(
    r"^(?P<file>.+): (?P<name>[^,()]+?)(?:, (?P<language>[A-Za-z ]+))? "
    r"\(confidence (?P<confidence>[01]\.\d\d)\)$"
)


def expected_line(name: str, payload: bytes) -> str:
    """The line the tool must print for ``payload``: what the API says about the same bytes."""
    return cli._render_line(cli.Outcome(name, vexlora.detect(payload)))


def run_cli(*args, input=None, stdin=None, stdout=subprocess.PIPE, env=None, timeout=60):
    """The tool in a fresh interpreter; output as bytes so that any encoding fault shows."""
    if input is None and stdin is None:
        stdin = subprocess.DEVNULL
    return subprocess.run(
        [sys.executable, "-m", "vexlora", *args],
        input=input,
        stdin=stdin,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=env,
        timeout=timeout,
    )


def lines(data: bytes) -> list[str]:
    return data.decode("utf-8").splitlines()


@pytest.fixture
def files(tmp_path):
    """A text, an empty and a binary payload, and a path that does not exist."""
    made = {"text": tmp_path / "french.txt", "empty": tmp_path / "empty.txt", "binary": tmp_path / "blob.bin"}
    made["text"].write_bytes(TEXT)
    made["empty"].write_bytes(b"")
    made["binary"].write_bytes(BINARY)
    made["missing"] = tmp_path / "missing.txt"
    return {kind: str(path) for kind, path in made.items()}


# -- entry points, version, samples ------------------------------------------


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "vexlora"],
        [str(Path(sys.executable).with_name("vexlora"))],
    ],
    ids=["python -m vexlora", "console script"],
)
def test_version_from_both_entry_points(command):
    result = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"vexlora {vexlora.__version__}\n", "")


def test_samples_one_line_each_in_the_documented_form():
    result = run_cli("--samples")
    assert result.returncode == 0, result.stderr
    found = [LINE.match(line) for line in lines(result.stdout)]
    assert all(found), lines(result.stdout)
    assert [m["file"] for m in found] == [name for name, _ in cli.bundled_samples()]
    assert len(found) >= 10


def test_samples_are_read_only_on_request():
    # No FILE and a non-terminal stdin (here empty) means stdin, not the samples.
    result = run_cli()
    assert (result.returncode, lines(result.stdout)) == (1, ["-: empty"])


# -- standard input ---------------------------------------------------------------


@pytest.mark.parametrize("args", [[], ["-"]], ids=["implicit", "dash"])
def test_standard_input(args):
    result = run_cli(*args, input=TEXT)
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == [expected_line("-", TEXT)]


def test_end_to_end_line():
    # The one place where these tests judge the detector's answer rather than the plumbing.
    result = run_cli("-", input=TEXT)
    assert lines(result.stdout)[0].startswith("-: windows-1252, French (confidence")


def test_terminal_stdin_without_file_is_a_usage_error():
    leader, follower = pty.openpty()
    try:
        result = run_cli(stdin=follower)
    finally:
        os.close(leader)
        os.close(follower)
    assert result.returncode == 2 and result.stdout == b""
    assert b"usage: vexlora" in result.stderr and b"standard input is a terminal" in result.stderr


# -- kinds and exit status ----------------------------------------------------


@pytest.mark.parametrize(
    "kinds, status",
    [
        (["text"], 0),
        (["empty"], 1),
        (["binary"], 1),
        (["text", "empty"], 1),
        (["missing", "text"], 2),
        (["empty", "missing", "text"], 2),  # an unreadable file outranks a non-text payload
    ],
)
def test_exit_status_and_lines(files, kinds, status):
    result = run_cli(*(files[kind] for kind in kinds))
    assert result.returncode == status
    out = lines(result.stdout)
    readable = [kind for kind in kinds if kind != "missing"]
    assert len(out) == len(readable)
    for kind, line in zip(readable, out):
        if kind == "text":
            assert LINE.match(line) and line == expected_line(files["text"], TEXT)
        else:
            assert line == f"{files[kind]}: {kind}"
    err = result.stderr.decode()
    if "missing" in kinds:
        assert err == f"vexlora: cannot read {files['missing']}: No such file or directory\n"
    else:
        assert err == ""


def test_directory_is_reported_and_the_rest_analysed(tmp_path, files):
    result = run_cli(str(tmp_path), files["text"])
    assert result.returncode == 2
    assert result.stderr.decode() == f"vexlora: cannot read {tmp_path}: Is a directory\n"
    assert lines(result.stdout) == [expected_line(files["text"], TEXT)]


def test_endless_device_ends_quickly_as_binary():
    started = time.monotonic()
    result = run_cli("/dev/zero", timeout=60)
    assert time.monotonic() - started < 20
    assert (result.returncode, lines(result.stdout), result.stderr) == (1, ["/dev/zero: binary"], b"")


def test_undecodable_payload(monkeypatch, capsys):
    monkeypatch.setattr(vexlora, "detect_file", lambda path, **_: Detection("undecodable", (), 12))
    assert cli.main(["odd.bin"]) == 1
    assert capsys.readouterr().out == "odd.bin: undecodable\n"


def test_out_of_memory_is_reported_per_file(monkeypatch, capsys):
    def detect_file(path, **_):
        if path == "huge":
            raise MemoryError
        return Detection("empty", (), 0)

    monkeypatch.setattr(vexlora, "detect_file", detect_file)
    assert cli.main(["huge", "small"]) == 2
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("small: empty\n", "vexlora: cannot analyse huge: out of memory\n")


# -- output forms -------------------------------------------------------------


def test_verbose_table_ranks_at_most_top(files):
    result = run_cli("--verbose", "--top", "2", files["text"], files["empty"])
    assert result.returncode == 1
    out = lines(result.stdout)
    assert out[0] == f"{files['text']}: text, {len(TEXT)} bytes"
    assert out[1].split() == ["#", "name", "codec", "confidence", "mess", "languages"]
    rows = out[2:-1]
    assert 1 <= len(rows) <= 2 and [row.split()[0] for row in rows] == [str(i) for i in range(1, len(rows) + 1)]
    best = vexlora.detect(TEXT).best
    assert rows[0].split()[1:3] == [best.name, best.encoding]
    assert out[-1] == f"{files['empty']}: empty, 0 bytes"


def test_bom_and_language_free_lines():
    guess = Guess("utf_8_sig", "UTF-8", 0.99, 0.0, (), True)
    outcome = cli.Outcome("a.txt", Detection("text", (guess,), 10))
    assert cli._render_line(outcome) == "a.txt: UTF-8 with BOM (confidence 0.99)"


def test_json_schema(files):
    result = run_cli("--json", "--top", "3", files["text"], files["empty"], files["missing"])
    assert result.returncode == 2
    document = json.loads(result.stdout)
    assert document.keys() == {"schema", "vexlora", "results"}
    assert document["schema"] == 1 and document["vexlora"] == vexlora.__version__
    results = document["results"]
    assert [r["file"] for r in results] == [files[k] for k in ("text", "empty", "missing")]
    assert [r["kind"] for r in results] == ["text", "empty", "error"]
    for r in results:
        assert r.keys() == {"file", "kind", "size", "error", "guesses"}
        assert (r["error"] is None) == (r["kind"] != "error")
        assert (r["size"] is None) == (r["kind"] == "error")
        assert bool(r["guesses"]) == (r["kind"] == "text")
    assert results[0]["size"] == len(TEXT) and results[1]["size"] == 0
    assert results[2]["error"] == f"cannot read {files['missing']}: No such file or directory"
    guesses = results[0]["guesses"]
    assert 1 <= len(guesses) <= 3
    for guess in guesses:
        assert guess.keys() == {"encoding", "name", "confidence", "mess", "bom", "languages"}
        assert isinstance(guess["encoding"], str) and isinstance(guess["name"], str)
        assert isinstance(guess["bom"], bool)
        assert 0.0 <= guess["confidence"] <= 1.0 and guess["mess"] >= 0.0
        for language in guess["languages"]:
            assert language.keys() == {"language", "score"}
            assert isinstance(language["language"], str) and isinstance(language["score"], float)
    api = vexlora.detect(TEXT, top=3)
    assert [(g["encoding"], g["name"], g["bom"]) for g in guesses] == [(g.encoding, g.name, g.bom) for g in api.guesses]
    assert guesses[0]["languages"] == [{"language": lang, "score": score} for lang, score in api.best.languages]


@pytest.mark.parametrize(
    "args, message",
    [
        (["--top", "0"], "--top must be at least 1"),
        (["--top", "-3"], "--top must be at least 1"),
        (["--top", "two"], "invalid int value"),
        (["--json", "--verbose"], "not allowed with argument"),
        (["--bogus"], "unrecognized arguments"),
    ],
)
def test_usage_errors(args, message):
    result = run_cli(*args, "-", input=TEXT)
    assert result.returncode == 2 and result.stdout == b""
    assert message in result.stderr.decode() and b"Traceback" not in result.stderr


# -- conditions that must not end in a traceback ---------------------------------


def test_broken_pipe_exits_quietly():
    reader, writer = os.pipe()
    os.close(reader)  # every write the tool makes now fails with EPIPE
    try:
        result = run_cli("--samples", stdout=writer)
    finally:
        os.close(writer)
    assert (result.returncode, result.stderr) == (cli.EXIT_BROKEN_PIPE, b"")


@pytest.mark.parametrize("args", [["--samples"], ["--version"]])
def test_full_disk_is_reported(args):
    with open("/dev/full", "wb") as full:
        result = run_cli(*args, stdout=full)
    assert result.returncode == 2
    assert result.stderr.decode() == f"vexlora: cannot write the output: {os.strerror(errno.ENOSPC)}\n"


def test_file_names_that_are_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(name, "wb") as handle:
        handle.write(TEXT)
    missing = os.fsencode(tmp_path) + b"/\xff.txt"
    result = subprocess.run([sys.executable, "-m", "vexlora", name, missing], capture_output=True, timeout=60)
    assert result.returncode == 2
    shown = expected_line(os.fsdecode(tmp_path) + "/caf\\xe9.txt", TEXT)
    assert result.stdout.decode() == shown + "\n"
    not_found = os.fsencode(tmp_path) + b"/\\xff.txt: No such file or directory\n"
    assert result.stderr == b"vexlora: cannot read " + not_found


def test_narrow_output_encoding(tmp_path):
    path = tmp_path / "été.txt"
    path.write_bytes(TEXT)
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    result = run_cli(str(path), env=env)
    assert result.returncode == 0 and result.stderr == b""
    assert result.stdout.decode() == expected_line(f"{tmp_path}/\\xe9t\\xe9.txt", TEXT) + "\n"


def _tool_on_fifo(tmp_path) -> tuple[subprocess.Popen, int, Path]:
    """The tool started on a FIFO, and the FIFO's write end once the tool has opened the read end."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    tool = subprocess.Popen(
        [sys.executable, "-m", "vexlora", str(fifo)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 30
    while True:
        # A non-blocking open fails with ENXIO until the tool has opened the read end.
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO or time.monotonic() > deadline:
                tool.kill()
                raise
            time.sleep(0.01)
            continue
        os.set_blocking(writer, True)
        return tool, writer, fifo


def test_fifo_is_read_like_a_file(tmp_path):
    tool, writer, fifo = _tool_on_fifo(tmp_path)
    os.write(writer, TEXT)
    os.close(writer)
    out, err = tool.communicate(timeout=60)
    assert tool.returncode == 0, err
    assert out.decode() == expected_line(str(fifo), TEXT) + "\n"


def test_interrupt_exits_130_with_one_line(tmp_path):
    tool, writer, _ = _tool_on_fifo(tmp_path)
    try:
        # The tool has opened the FIFO, so it is past start-up and waits for data.
        # A signal that lands between the tool's open() and its first read() is
        # only handled after that read returns (the interpreter checks for
        # signals between bytecodes), so give it time to block in read() first.
        time.sleep(0.5)
        tool.send_signal(signal.SIGINT)
        out, err = tool.communicate(timeout=60)
    finally:
        os.close(writer)
    assert (tool.returncode, out, err) == (130, b"", b"vexlora: interrupted\n")


# -- progress -----------------------------------------------------------------


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def _slow_detect_file(path, *, top, progress):
    if progress is not None:
        for done in (0, 50, 100):
            progress(done, 100)
        progress(7_000_000, None)
    return Detection("empty", (), 0)


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_only_on_a_terminal_and_erased(monkeypatch, capsys, terminal):
    monkeypatch.setattr(cli, "PROGRESS_DELAY", 0.0)
    monkeypatch.setattr(cli, "PROGRESS_INTERVAL", 0.0)
    monkeypatch.setattr(vexlora, "detect_file", _slow_detect_file)
    stderr = _Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    assert cli.main(["big.txt"]) == 1
    assert capsys.readouterr().out == "big.txt: empty\n"
    drawn = stderr.getvalue()
    if not terminal:
        assert drawn == ""
        return
    assert "vexlora: big.txt: 50% of 0.0 MB" in drawn and "vexlora: big.txt: 7.0 MB read" in drawn
    assert drawn.endswith("\r") and drawn.rsplit("\r", 2)[-2].strip() == ""  # last draw blanks the line


def test_progress_waits_before_drawing(monkeypatch):
    now = [0.0]
    stream = _Terminal()
    progress = cli._Progress(stream, clock=lambda: now[0])
    progress.start("quick.txt")
    progress.update(10, 100)
    assert stream.getvalue() == ""  # a quick payload never shows progress
    now[0] = cli.PROGRESS_DELAY + 0.01
    progress.update(20, 100)
    progress.update(30, 100)  # within the refresh interval: not drawn
    assert stream.getvalue() == "\rvexlora: quick.txt: 20% of 0.0 MB\r"
