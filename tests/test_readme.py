"""The README's runnable snippets (fenced blocks after a ``<!-- tested -->`` line) run as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
# Libraries a snippet may need that the sanitized venv leaves out.
OPTIONAL = {"umap"}


def _snippets() -> list[tuple[str, str]]:
    text = README.read_text(encoding="utf-8")
    found, heading = [], ""
    for match in re.finditer(r"^(#+ [^\n]*)$|^<!-- tested -->\n```python\n(.*?)^```$", text, re.M | re.S):
        if match.group(1):
            heading = match.group(1).lstrip("# ").strip()
        else:
            found.append((heading, match.group(2)))
    return found


SNIPPETS = _snippets()


def test_the_readme_marks_snippets() -> None:
    assert SNIPPETS, "no <!-- tested --> snippet found in README.md"


@pytest.mark.parametrize("code", [code for _, code in SNIPPETS], ids=[heading for heading, _ in SNIPPETS])
def test_readme_snippet_runs(code: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    try:
        exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    except ModuleNotFoundError as exc:
        if exc.name in OPTIONAL:
            pytest.skip(f"{exc.name} is not installed")
        raise
