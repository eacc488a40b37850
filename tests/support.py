"""Helpers for tests that need a controlled host package or a fresh interpreter.

`run_python` runs a snippet in a new interpreter (the one running the tests).
Before the snippet runs, the host modules `vexlora.constant` and
`vexlora.utils` can be adjusted: `constant`/`utils` are source text executed
inside the real module's namespace (to rebind or delete names), and
`fake_constant`/`fake_utils` replace a module wholesale with a module built
from the given source. The native modules are imported by the snippet itself,
so they see the adjusted host.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

_PRELUDE = '''
import sys, types
def _install(name, source, patch):
    if source is not None:
        module = types.ModuleType(name)
        module.__file__ = "<fake " + name + ">"
        sys.modules[name] = module
        exec(compile(source, module.__file__, "exec"), module.__dict__)
    elif patch:
        import importlib
        module = importlib.import_module(name)
        exec(compile(patch, "<patch " + name + ">", "exec"), module.__dict__)
'''


def run_python(code: str, *, constant: str = "", utils: str = "", fake_constant: str | None = None,
               fake_utils: str | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter after adjusting the host modules."""
    script = "\n".join([
        _PRELUDE,
        f"_install('vexlora.constant', {fake_constant!r}, {textwrap.dedent(constant)!r})",
        f"_install('vexlora.utils', {fake_utils!r}, {textwrap.dedent(utils)!r})",
        "del _install, types",
        textwrap.dedent(code),
    ])
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)


def check_python(code: str, **kwargs) -> str:
    """Like run_python, but fail the test unless the snippet exits cleanly; returns its stdout."""
    result = run_python(code, **kwargs)
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout


def import_outcome(module: str, code: str = "", **kwargs) -> str:
    """Import `module` in a fresh interpreter (after `code` and the host
    adjustments); return "imported" or "<ExceptionName>: <message>"."""
    result = run_python(code + f"""
try:
    import {module}
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("imported")
""", **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()
