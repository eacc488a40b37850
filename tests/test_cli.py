"""The command line tool: rankings of the bundled samples, output forms and exit codes."""

import json
import subprocess
import sys

import pytest

from vexlora.cli import bundled_samples, main


def run_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vexlora", *args], capture_output=True, text=True, cwd=cwd)


@pytest.fixture(scope="module")
def sample_report():
    result = run_cli("--json")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


LANGUAGE_OF = {"english": "English", "german": "German", "polish": "Polish", "turkish": "Turkish",
               "russian": "Russian", "ukrainian": "Ukrainian", "greek": "Greek", "hebrew": "Hebrew",
               "arabic": "Arabic", "thai": "Thai", "japanese": "Japanese", "chinese": "Chinese",
               "korean": "Korean", "french": "French"}


def test_every_bundled_sample_is_reported(sample_report):
    assert sorted(r["name"] for r in sample_report) == sorted(name for name, _ in bundled_samples())
    assert len(sample_report) >= 10


@pytest.mark.parametrize("name", sorted(name for name, _ in bundled_samples()))
def test_true_encoding_ranks_first_or_tied_first(sample_report, name):
    language, encoding = name.split(".")[:2]
    report = next(r for r in sample_report if r["name"] == name)
    best = report["decodings"][0]["mess_ratio"]
    tied = [d["encoding"] for d in report["decodings"] if d["mess_ratio"] == best]
    assert encoding in tied, report


@pytest.mark.parametrize("name", sorted(name for name, _ in bundled_samples()))
def test_true_language_ranks_first(sample_report, name):
    language = LANGUAGE_OF[name.split(".")[0]]
    report = next(r for r in sample_report if r["name"] == name)
    encoding = name.split(".")[1]
    decoding = next(d for d in report["decodings"] if d["encoding"] == encoding)
    ranked = decoding["languages"]
    top = ranked[0]["ratio"]
    assert language in [entry["language"] for entry in ranked if entry["ratio"] == top], ranked


def test_table_output_and_files(tmp_path, capsys):
    payload = tmp_path / "note.txt"
    payload.write_bytes("Vielen Dank für die schnelle Antwort, wir melden uns morgen.".encode("cp1252"))
    assert main([str(payload), "--top", "2"]) == 0
    out = capsys.readouterr().out
    assert out.startswith(f"{payload} (") and "  1. " in out and "  3. " not in out


@pytest.mark.parametrize("content, problem", [
    (b"", "empty payload"),
    (b"\x81\x8d\x8f\x90\x9d" * 3 + b"\xff\xfe\x00", None),  # latin_1 always decodes
])
def test_empty_and_odd_payloads(tmp_path, capsys, content, problem):
    path = tmp_path / "payload.bin"
    path.write_bytes(content)
    code = main([str(path), "--json"])
    report = json.loads(capsys.readouterr().out)[0]
    assert report["problem"] == problem
    assert code == (1 if problem else 0)


def test_missing_file_exit_code(tmp_path):
    result = run_cli(str(tmp_path / "nope.txt"))
    assert result.returncode == 2
    assert "cannot read" in result.stderr and result.stdout == ""


@pytest.mark.parametrize("args", [["--top", "0"], ["--bogus"]])
def test_usage_errors_exit_2(args):
    assert run_cli(*args).returncode == 2
