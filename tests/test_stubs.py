"""The committed type stubs match the built module, and are installed where type checkers look."""

from __future__ import annotations

import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

STUB = Path(__file__).resolve().parent.parent / "stubs" / "vek_core-stubs" / "__init__.pyi"

pytest.importorskip("pybind11_stubgen")


def test_committed_stub_matches_the_module(tmp_path):
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "vek_core", "-o", str(tmp_path)],
                   check=True, capture_output=True)
    generated = (tmp_path / "vek_core.pyi").read_text()
    assert generated == STUB.read_text(), "stubs are stale: regenerate with `make stubs`"


def test_stub_package_is_installed():
    installed = Path(sysconfig.get_paths()["platlib"]) / "vek_core-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text()
