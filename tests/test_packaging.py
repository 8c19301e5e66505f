"""What a user of the repository expects: one version, a licence that matches
the metadata, the README's commands and Python examples working from the
repository's root, generated outputs kept out of git and the sdist."""
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tavotools

ROOT = Path(__file__).resolve().parents[1]
# The tests may run from a copy of tests/ against an installed wheel: what they
# read of the repository is then absent.
source_tree = pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(),
                                 reason="needs the source tree")


@source_tree
def test_version_is_stated_once_and_read_by_the_build():
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert 'dynamic = ["version"]' in pyproject
    assert 'metadata.version.input = "src/tavotools/__init__.py"' in pyproject
    assert not re.search(r"(?m)^version\s*=", pyproject)
    init = (ROOT / "src" / "tavotools" / "__init__.py").read_text()
    assert re.findall(r'(?m)^__version__ = "([^"]+)"$', init) == [tavotools.__version__]


@source_tree
def test_licence_file_is_the_mit_licence_pyproject_names():
    assert 'license = { text = "MIT" }' in (ROOT / "pyproject.toml").read_text()
    assert (ROOT / "LICENSE").read_text().startswith("MIT License\n\nCopyright (c) ")


def _python_examples():
    readme = (ROOT / "README.md").read_text()
    return re.findall(r"(?ms)^```python\n(.*?)^```", readme)


@source_tree
def test_readme_python_examples_run_from_the_repository_root(data):
    # Run as a user would, from the root, where src/ must not shadow the
    # installed package; the data folder is wherever the fixture found it.
    session = []
    for block in _python_examples():
        block = block.replace("../shared/data", str(data))
        files = re.findall(r'"([^"]+\.(?:mseed|xml))"', block)
        if any(not Path(f).exists() for f in files):
            continue  # an illustration with files of the user's own
        session.append(block)
    assert len(session) >= 4
    out = subprocess.run([sys.executable, "-c", "\n".join(session)], cwd=ROOT,
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr


def test_python_dash_m_from_the_repository_root():
    out = subprocess.run([sys.executable, "-m", "tavotools", "--version"], cwd=ROOT,
                         capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, f"tavotools {tavotools.__version__}\n")


@pytest.mark.parametrize("name", ["husid.png", "husid-2.png", "flat.parquet", "flat.csv",
                                  "flat.errors.csv", "flat.state", "spectra.svg"])
def test_outputs_written_at_the_root_are_ignored(name):
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    out = subprocess.run(["git", "check-ignore", "-q", name], cwd=ROOT)
    assert out.returncode == 0
