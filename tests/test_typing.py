"""The installed typing stub: mypy finds it, accepts the README's tour with --strict, and it
declares what the module has (mypy's stubtest against the module as built)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT
from oracle import run_mypy

# mypy, twice, and stubtest.
pytestmark = [pytest.mark.slow, pytest.mark.python_side]

# pybind11 classes have a metaclass of their own, which a stub does not declare; its native
# enums carry a private capsule of pybind11's.
ALLOWED = ("vexmira.H264DecoderSession\nvexmira.MbType.__pybind11_native_enum__\n"
           "vexmira.Partition.__pybind11_native_enum__\n")


def readme_tour() -> str:
    readme = (ROOT / "README.md").read_text()
    tour = readme[readme.index("## API tour"):]
    return re.search(r"```python\n(.*?)```", tour, re.S).group(1)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory) -> Path:
    """Shared, so that NumPy's stubs are analysed once."""
    return tmp_path_factory.mktemp("mypy_cache")


def test_mypy_accepts_the_readme_tour_and_finds_the_stub(tmp_path, mypy_cache):
    tour = tmp_path / "tour.py"
    tour.write_text(readme_tour() + "reveal_type(session.get_mv_field(0))\n")
    result = run_mypy("--strict", str(tour), folder=tmp_path, cache=mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "numpy.signedinteger[numpy._typing._nbit_base._16Bit]" in result.stdout, "the stub's types, not Any"


def test_mypy_rejects_a_misuse(tmp_path, mypy_cache):
    misuse = tmp_path / "misuse.py"
    misuse.write_text("import vexmira\n"
                      "session = vexmira.H264DecoderSession('clip.mp4', deblocking='off')\n"
                      "kind: int = session.get_frame_type(0)\n")
    result = run_mypy("--strict", str(misuse), folder=tmp_path, cache=mypy_cache)
    assert result.returncode == 1
    assert 'Argument "deblocking"' in result.stdout and "Incompatible types in assignment" in result.stdout


def test_stub_declares_what_the_module_has(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWED)
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "vexmira"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
