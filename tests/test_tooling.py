"""The repository's lint configuration catches what ./dev lint is meant to catch.

The linters run with the repository's own configuration on small files in a
temporary folder: a file that breaks a rule fails, its corrected form passes
(so a broken configuration that passes or fails everything is noticed too).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
LONG_NAME = "a_name_long_enough_to_push_the_line_past_the_limit"


def tool(name):
    """The tool installed next to the running interpreter (the dev venv), else on the PATH."""
    path = shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


def run(*args, cwd):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd)


@pytest.mark.parametrize(
    "source, finding",
    [
        ("TEXT = '" + "x" * 120 + "'\n", "E501"),  # a line too long to be wrapped
        ("import os\n", "F401"),  # an unused import
        ("import sys\nimport os\n\nprint(os, sys)\n", "I001"),  # imports out of order
    ],
)
def test_ruff_check_fails_on_findings(tmp_path, source, finding):
    ruff = tool("ruff")
    sample = tmp_path / "sample.py"
    sample.write_text(source)
    result = run(ruff, "check", "--config", REPO / "pyproject.toml", "--output-format", "concise", sample, cwd=tmp_path)
    assert result.returncode == 1 and finding in result.stdout, result.stdout + result.stderr
    sample.write_text("import os\nimport sys\n\nprint(os, sys)\n")
    assert run(ruff, "check", "--config", REPO / "pyproject.toml", sample, cwd=tmp_path).returncode == 0


def test_ruff_format_check_fails_on_unformatted_python(tmp_path):
    ruff = tool("ruff")
    sample = tmp_path / "sample.py"
    # Too long for one line at the configured width, and spaced oddly.
    sample.write_text(f"value = {{ 'a' :1,'b':2 }}\nresult = [{LONG_NAME}, {LONG_NAME}, {LONG_NAME}]\n")
    check = [ruff, "format", "--config", REPO / "pyproject.toml", "--check", sample]
    assert run(*check, cwd=tmp_path).returncode == 1
    assert run(ruff, "format", "--config", REPO / "pyproject.toml", sample, cwd=tmp_path).returncode == 0
    assert run(*check, cwd=tmp_path).returncode == 0
    assert max(len(line) for line in sample.read_text().splitlines()) <= 120


def test_clang_format_check_fails_on_unformatted_cpp(tmp_path):
    clang_format = tool("clang-format")
    shutil.copy(REPO / ".clang-format", tmp_path / ".clang-format")
    sample = tmp_path / "sample.cpp"
    sample.write_text(
        "namespace vx {\nint  twice( int a ){\n  return a*2;}\n"
        f"int {LONG_NAME}(int first_argument, int second_argument, int third_argument, int fourth_argument);\n}}\n"
    )
    check = [clang_format, "--dry-run", "-Werror", sample.name]
    result = run(*check, cwd=tmp_path)
    assert result.returncode != 0 and "code should be clang-formatted" in result.stderr, result.stderr
    assert run(clang_format, "-i", sample.name, cwd=tmp_path).returncode == 0
    assert run(*check, cwd=tmp_path).returncode == 0
    assert "int twice(int a) { return a * 2; }" in sample.read_text()
    assert max(len(line) for line in sample.read_text().splitlines()) <= 120
