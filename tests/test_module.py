"""The module as Python sees it: its name, its one class, read-only facts, the version check."""

import ast
import ctypes
import importlib
import importlib.metadata
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vexmira

PROPERTIES = ["width", "height", "mb_cols", "mb_rows", "num_frames",
              "fps", "fps_num", "fps_den", "pix_fmt", "bytes_per_sample", "codec", "qp_scale", "time_base", "closed"]


def test_docstring_and_public_names():
    assert vexmira.__doc__ == "Native in-memory H.264 decoder & QP/Macroblock extractor"
    assert [name for name in dir(vexmira) if not name.startswith("_")] == ["H264DecoderSession", "MbType", "Partition",
                                                                          "PredictionNotBuilt", "ffmpeg_version",
                                                                          "usable_cores"]
    assert vexmira.H264DecoderSession.__module__ == "vexmira"
    assert vexmira.H264DecoderSession.__qualname__ == "H264DecoderSession"


def test_version_is_that_of_the_installed_distribution():
    assert vexmira.__version__ == importlib.metadata.version("vexmira")


def mapped_library(name: str) -> str:
    """The file of the shared library `name` (e.g. "avcodec") that this process has loaded."""
    pattern = re.compile(rf"/lib{name}[-.][^/]*$")
    paths = {line.split(maxsplit=5)[5] for line in Path("/proc/self/maps").read_text().splitlines()
             if len(line.split(maxsplit=5)) == 6 and pattern.search(line)}
    assert len(paths) == 1, (name, paths)
    return paths.pop()


def test_ffmpeg_version_is_what_the_loaded_libraries_report():
    def dotted(version: int) -> str:
        return f"{version >> 16}.{(version >> 8) & 0xFF}.{version & 0xFF}"

    # Asked of the very files the loader mapped, which need not be those the module was built on.
    avutil = ctypes.CDLL(mapped_library("avutil"))
    avutil.av_version_info.restype = ctypes.c_char_p
    expected = {"ffmpeg": avutil.av_version_info().decode(),
                "libavutil": dotted(avutil.avutil_version())}
    for name in ("avcodec", "avformat"):
        expected[f"lib{name}"] = dotted(getattr(ctypes.CDLL(mapped_library(name)), f"{name}_version")())
    assert vexmira.ffmpeg_version == expected


def test_help_shows_typed_signatures():
    cls = vexmira.H264DecoderSession
    index = "typing.SupportsIndex"
    integer = "typing.SupportsInt | typing.SupportsIndex"
    expected = {
        "get_qpmap": f"get_qpmap(self: vexmira.H264DecoderSession, frame_idx: {index}, *, source: str = 'decode') "
                     "-> numpy.typing.NDArray[numpy.int8]",
        "get_plane_data": f"get_plane_data(self: vexmira.H264DecoderSession, frame_idx: {index}, "
                          f"plane: {index}) -> numpy.typing.NDArray[numpy.uint8] | numpy.typing.NDArray[numpy.uint16]",
        "get_chroma_qp_offset": f"get_chroma_qp_offset(self: vexmira.H264DecoderSession, frame_idx: {index}) "
                                "-> tuple[int, int]",
        "copy_plane_to_ptr": f"copy_plane_to_ptr(self: vexmira.H264DecoderSession, frame_idx: {index}, "
                             f"plane: {index}, dst_ptr: {integer}, dst_stride: {integer}) -> None",
        "get_frame_type": f"get_frame_type(self: vexmira.H264DecoderSession, frame_idx: {index}) -> str",
        "is_key_frame": f"is_key_frame(self: vexmira.H264DecoderSession, frame_idx: {index}) -> bool",
        "get_motion_vectors": f"get_motion_vectors(self: vexmira.H264DecoderSession, frame_idx: {index}) "
                              "-> numpy.ndarray",
        "get_mv_field": f"get_mv_field(self: vexmira.H264DecoderSession, frame_idx: {index}) "
                        "-> numpy.typing.NDArray[numpy.int16]",
        "get_mbtype_map": f"get_mbtype_map(self: vexmira.H264DecoderSession, frame_idx: {index}, *, "
                          "source: str | None = None) -> numpy.ndarray",
    }
    # The signature, then the summary line on a line of its own; the docstrings are the stub's (below).
    for name, signature in expected.items():
        shown = getattr(cls, name).__doc__.strip().split("\n\n")
        assert shown[0] == signature and "\n" not in shown[1], name
    # The path alone opens a session; the keywords only add.
    assert cls.__init__.__doc__.strip().startswith(
        "__init__(self: vexmira.H264DecoderSession, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, "
        f"deblocking: str = 'skip', motion_vectors: bool = False, mb_types: bool = False, read_ahead: {integer} | None "
        f"= None, stream: {integer} | None = None) -> None\n\nOpen a video file.")


def stub_docstrings() -> dict[str, str]:
    """The class's docstring ("") and those of its members, from the installed stub."""
    stub = Path(vexmira.__file__).with_name("vexmira.pyi")
    tree = ast.parse(stub.read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "H264DecoderSession")
    found = {"": ast.get_docstring(cls)}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and (doc := ast.get_docstring(node)) is not None:
            found.setdefault(node.name, doc)
    return found


def paragraphs(text: str) -> list[str]:
    """Paragraphs with their lines joined, so that each side may wrap them as it likes."""
    return [" ".join(paragraph.split()) for paragraph in inspect.cleandoc(text).split("\n\n") if paragraph.strip()]


def runtime_docstring(member) -> str:
    """What help() shows beneath the signatures: of a property, its docstring; of a method, the
    text after its signature, or after the first overload's."""
    doc = member.__doc__ or ""
    if isinstance(member, property):
        return doc
    signature = re.compile(r"^(?:\d+\. )?\w+\(.*\)( -> .*)?$")
    kept = [line for line in doc.strip().splitlines()
            if not signature.match(line) and line != "Overloaded function."]
    return "\n".join(kept)


def test_every_member_has_the_stubs_docstring():
    cls = vexmira.H264DecoderSession
    documented = stub_docstrings()
    public = {name for name in vars(cls) if not name.startswith("_")}
    assert public <= set(documented), "every property and method is documented in the stub"
    assert paragraphs(cls.__doc__) == paragraphs(documented.pop(""))
    for name, doc in documented.items():
        assert paragraphs(runtime_docstring(vars(cls)[name])) == paragraphs(doc), name


def test_help_shows_the_class_and_property_docstrings():
    shown = pydoc.render_doc(vexmira.H264DecoderSession, renderer=pydoc.plaintext)
    for text in (vexmira.H264DecoderSession.__doc__, vexmira.H264DecoderSession.qp_scale.__doc__):
        assert " ".join(text.split()[:12]) in " ".join(shown.split())


def test_macroblock_kinds_are_int_enums_of_the_module():
    import enum
    for kind, names in ((vexmira.MbType, ["INTRA_4X4", "INTRA_16X16", "INTRA_PCM", "SKIP", "DIRECT_SKIP", "DIRECT",
                                          "L0", "L1", "BI", "UNKNOWN"]),
                        (vexmira.Partition, ["P16X16", "P16X8", "P8X16", "P8X8", "UNKNOWN"])):
        assert issubclass(kind, enum.IntEnum) and kind.__module__ == "vexmira"
        assert [member.name for member in kind] == names
        assert [int(member) for member in kind] == list(range(len(names) - 1)) + [255]


def test_reimport_gives_the_same_module_and_class():
    module, cls = vexmira, vexmira.H264DecoderSession
    del sys.modules["vexmira"]
    again = importlib.import_module("vexmira")
    assert again is module
    assert again.H264DecoderSession is cls


def test_importing_does_not_import_numpy():
    code = "import sys, vexmira; print('numpy' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert result.stdout.strip() == "False"


class TestReadOnlyFacts:
    def test_properties_cannot_be_assigned_or_deleted(self, media):
        session = vexmira.H264DecoderSession(str(media("mp4")))
        for name in PROPERTIES:
            before = getattr(session, name)
            with pytest.raises(AttributeError):
                setattr(session, name, before)
            with pytest.raises(AttributeError):
                delattr(session, name)
            assert getattr(session, name) == before

    def test_no_path_attribute_and_no_new_attributes(self, media):
        session = vexmira.H264DecoderSession(str(media("mp4")))
        with pytest.raises(AttributeError):
            session.path
        with pytest.raises(AttributeError):
            session.note = "anything"

    def test_class_can_be_subclassed(self, media):
        class Annotated(vexmira.H264DecoderSession):
            def area(self):
                return self.width * self.height

        assert Annotated(str(media("mp4"))).area() == 64 * 48


def other_interpreters() -> list[str]:
    """CPython 3 interpreters on this machine that are not 3.12."""
    found = {}
    names = [f"python3.{minor}" for minor in range(8, 16) if minor != 12]
    pyenv = shutil.which("pyenv")
    roots = []
    if pyenv:
        roots.append(Path(subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip()))
    for name in names:
        candidates = [shutil.which(name)] + [str(p) for root in roots for p in root.glob(f"versions/*/bin/{name}")]
        for candidate in filter(None, candidates):
            probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2])"],
                                   capture_output=True, text=True)
            if probe.returncode == 0 and probe.stdout.strip() != "(3, 12)":
                found.setdefault(probe.stdout.strip(), candidate)
    return sorted(found.values())


def test_other_interpreter_versions_are_refused(tmp_path):
    interpreters = other_interpreters()
    if not interpreters:
        pytest.skip("no CPython other than 3.12 on this machine")
    # The plain .so suffix is one that every CPython 3 looks for.
    shutil.copy(vexmira.__file__, tmp_path / "vexmira.so")
    bundled = Path(vexmira.__file__).with_name("vexmira.libs")
    if bundled.is_dir():  # a wheel's own FFmpeg, found through the module's runtime path
        (tmp_path / "vexmira.libs").symlink_to(bundled)
    for interpreter in interpreters:
        code = f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import vexmira"
        result = subprocess.run([interpreter, "-c", code], capture_output=True, text=True)
        assert result.returncode != 0, interpreter
        last_line = result.stderr.strip().splitlines()[-1]
        assert last_line.startswith("ImportError: "), (interpreter, last_line)
        if "undefined symbol" in last_line:
            continue  # the loader refused it before the module's own check could run
        version = subprocess.run([interpreter, "-c", "import sys; print(sys.version)"],
                                 capture_output=True, text=True).stdout.strip()
        assert last_line == ("ImportError: Python version mismatch: module was compiled for Python 3.12, "
                             f"but the interpreter version is incompatible: {version}."), interpreter


def test_usable_cores_are_the_affinity_mask():
    assert vexmira.usable_cores() == len(os.sched_getaffinity(0))
    # Narrowed to one processor, as taskset or a container's cpuset does.
    script = "import os, vexmira; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); print(vexmira.usable_cores())"
    narrowed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert narrowed.stdout.strip() == "1"
