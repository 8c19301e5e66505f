"""What a user of the repository expects: one version, a licence that matches
the metadata, the README's commands and Python examples working from the
repository's root, generated outputs kept out of git and the sdist."""
import re
import shutil
import subprocess
import sys
from importlib import metadata
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


@source_tree
def test_extras_named_to_users_are_declared():
    # The README and the messages of a missing library tell users which extra to
    # install: each must be one pyproject.toml declares.
    import tomllib

    declared = set(tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"])
    texts = [ROOT / "README.md", *sorted((ROOT / "src" / "tavotools").rglob("*.py"))]
    named = {m for path in texts for m in re.findall(r"(?:tavotools|'\.)\[([\w,-]+)\]", path.read_text())}
    assert named and named <= declared, named - declared


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


def _installed_distribution():
    """The distribution whose files hold the imported package, or None (run from src/)."""
    try:
        dist = metadata.distribution("tavotools")
    except metadata.PackageNotFoundError:
        return None
    init = Path(tavotools.__file__).resolve()
    if not any(Path(dist.locate_file(f)).resolve() == init for f in dist.files or ()):
        return None
    return dist


def test_installed_package_is_the_package_alone():
    # What tools/test installs from the wheel: the modules, the three extension
    # modules with their stubs, py.typed; no tests, build trees or links into one.
    dist = _installed_distribution()
    if dist is None:
        pytest.skip("tavotools is not imported from an installed wheel")
    assert dist.version == tavotools.__version__
    files = [str(f) for f in dist.files]
    # Beside the package: its dist-info, and the console script (../../../bin/tavotools).
    package = [f for f in files if not f.startswith(("tavotools-", "../"))]
    stray = [f for f in package if not f.startswith("tavotools/") or "/tests/" in f
             or "build/" in f or Path(dist.locate_file(f)).is_symlink()]
    assert stray == [] and "tavotools/py.typed" in package
    for module in ("tavo", "_spectra", "_parse"):
        assert f"tavotools/{module}.pyi" in package
        assert [f for f in package if re.fullmatch(rf"tavotools/{module}\.cpython-312-.*\.so", f)]
    entry = [e for e in dist.entry_points if e.group == "console_scripts"]
    assert [(e.name, e.value) for e in entry] == [("tavotools", "tavotools.cli:main")]


@pytest.mark.parametrize("name", ["husid.png", "husid-2.png", "flat.parquet", "flat.csv",
                                  "flat.errors.csv", "flat.state", "spectra.svg"])
def test_outputs_written_at_the_root_are_ignored(name):
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    out = subprocess.run(["git", "check-ignore", "-q", name], cwd=ROOT)
    assert out.returncode == 0
