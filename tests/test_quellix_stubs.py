"""quellix is typed: its native module's committed stub matches the built module, and the installed
package carries the stub and py.typed."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

import quellix

STUB = Path(__file__).resolve().parent.parent / "python" / "quellix" / "_native.pyi"

pytest.importorskip("pybind11_stubgen")


def test_committed_stub_matches_the_native_module(tmp_path):
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "quellix._native", "-o", str(tmp_path)],
                   check=True, capture_output=True)
    assert (tmp_path / "quellix" / "_native.pyi").read_text() == STUB.read_text(), \
        "stubs are stale: regenerate with `make stubs`"


def test_the_installed_package_is_typed():
    installed = Path(quellix.__file__).parent
    assert (installed / "py.typed").exists()
    assert (installed / "_native.pyi").read_text() == STUB.read_text()
