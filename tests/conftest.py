"""Shared fixtures: the folder of real records, `../shared/data`.

It lies beside the repository (`TAVOTOOLS_DATA` names another place). A git
worktree may sit deeper than the main checkout, so the nearest `shared/data`
beside the repository or any folder above it is used. Tests that need it
skip when there is none.
"""
import os
from pathlib import Path

import pytest


def _data_folder():
    given = os.environ.get("TAVOTOOLS_DATA")
    if given:
        return Path(given) if Path(given).is_dir() else None
    root = Path(__file__).resolve().parents[1]
    for above in root.parents:
        candidate = above / "shared" / "data"
        if candidate.is_dir():
            return candidate
    return None


@pytest.fixture(scope="session")
def data():
    """The folder of real records; the test is skipped when it is absent."""
    folder = _data_folder()
    if folder is None:
        pytest.skip("../shared/data is absent")
    return folder
