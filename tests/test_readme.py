"""The Python examples of the README and of the documents it leads to (readme.DOCUMENTS), run
in order in one namespace as a reader would run them after make demo: from a folder holding the sample clip at build/demo/, made by the script that make
demo runs. Each value an example shows must be the value it gives.

How a comment shows a value, so that an example added later is checked too:
- A line that is an expression, with a comment that begins with a Python literal, shows that
  value: numbers, strings, True/False/None, tuples (parentheses may be left out), lists,
  dicts, and NumPy's `array([...], dtype=int8)` and `dtype('uint8')`. Prose may follow it
  after ': '. A literal left open at the end of the line (`# 997, ('source', 'w',`) goes on
  in the comment lines below it, aligned with it; once it is complete, those lines are prose.
- `# IndexError: message` shows that the line raises that exception with that message.
- An expression whose comment begins like a value but is not one is an error, not prose:
  that is how a value shown in NumPy's print form (`[19.2 30.8]`) would drift unseen.
Types count: 25 is not 25.0, a tuple not a list, an array must have the dtype shown.
Other lines just run. A block preceded by an HTML comment that begins `<!-- not run` is not
run (say why in it)."""

import ast
import io
import re
import subprocess
import sys
import tokenize
import tomllib
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np
import pytest

from conftest import ROOT
from readme import DOCUMENTS, document

NOT_RUN = "<!-- not run"
LOOKS_LIKE_A_VALUE = re.compile(r"""[-\d'"(\[{]|(array|dtype|Fraction)\(|(True|False|None)\b""")
RAISES = re.compile(r"([A-Z]\w*(?:Error|Exception|Interrupt)): (.*)")
# The names a shown value may use: NumPy's array and its scalar types, and Fraction.
VALUE_NAMES = {"array": np.array, "dtype": np.dtype, "Fraction": Fraction,
               **{name: getattr(np, name) for name in ["bool_", "int8", "int16", "int32", "int64", "uint8",
                                                       "uint16", "uint32", "uint64", "float32", "float64"]}}


@dataclass
class Example:
    document: str
    line: int          # in the document
    code: str


@dataclass
class Shown:
    line: int
    text: str
    value: Any = None
    raises: tuple[str, str] | None = None


def python_examples() -> list[Example]:
    examples = []
    for name in DOCUMENTS:
        text = document(name)
        for fence in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S):
            before = text[:fence.start()].rstrip().splitlines()
            if before and before[-1].startswith(NOT_RUN):
                continue
            examples.append(Example(name, text.count("\n", 0, fence.start()) + 2, fence.group(1)))
    return examples


def literal(text: str) -> Any:
    """The value of a literal as the convention allows it; SyntaxError or ValueError otherwise."""
    tree = ast.parse(text, mode="eval")
    for node in ast.walk(tree):
        if isinstance(node, ast.Name) and node.id not in VALUE_NAMES:
            raise ValueError(f"{node.id} is no value")
        if not isinstance(node, (ast.Expression, ast.Constant, ast.Tuple, ast.List, ast.Dict, ast.UnaryOp,
                                 ast.USub, ast.Call, ast.Name, ast.Load, ast.keyword)):
            raise ValueError(f"{type(node).__name__} is no value")
    return eval(compile(tree, "<README>", "eval"), {"__builtins__": {}}, dict(VALUE_NAMES))


def leading_value(text: str) -> Any:
    """The longest start of text, up to its end or to a ': ', that is a literal."""
    ends = sorted({len(text), *(match.start() for match in re.finditer(": ", text))}, reverse=True)
    for end in ends:
        try:
            return literal(text[:end].strip())
        except (SyntaxError, ValueError):
            continue
    raise ValueError(f"no value in {text!r}")


def comments(code: str) -> dict[int, tuple[int, str]]:
    """Line -> (column, text after '# ') of every comment in the code."""
    found = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT:
            found[token.start[0]] = (token.start[1], token.string[1:].strip())
    return found


def shown_by(statement: ast.stmt, notes: dict[int, tuple[int, str]], code_lines: list[str]) -> Shown | None:
    if not isinstance(statement, ast.Expr) or statement.end_lineno not in notes:
        return None
    line = statement.end_lineno
    column, text = notes[line]
    if match := RAISES.match(text):
        return Shown(line, text, raises=(match.group(1), match.group(2)))
    if not LOOKS_LIKE_A_VALUE.match(text):
        return None
    following = line + 1
    while True:
        try:
            return Shown(line, text, value=leading_value(text))
        except ValueError:
            below = notes.get(following)
            if below is None or below[0] != column or code_lines[following - 1][:column].strip():
                raise ValueError(f"the comment of line {line} begins like a value but is not one: {text!r}")
            text, following = f"{text} {below[1]}", following + 1


def same(actual: Any, shown: Any) -> bool:
    if isinstance(shown, np.ndarray):
        return (isinstance(actual, np.ndarray) and actual.dtype == shown.dtype and actual.shape == shown.shape
                and bool(np.array_equal(actual, shown)))
    if isinstance(actual, np.generic):
        actual = actual.item()
    if isinstance(shown, (tuple, list)):
        return (type(actual) is type(shown) and len(actual) == len(shown)
                and all(same(a, s) for a, s in zip(actual, shown)))
    if isinstance(shown, dict):
        return type(actual) is dict and actual.keys() == shown.keys() and all(same(actual[k], shown[k]) for k in shown)
    return type(actual) is type(shown) and actual == shown


def run_example(example: Example, namespace: dict) -> list[str]:
    """What the example gives that differs from what it shows, one line each."""
    tree = ast.parse(example.code)
    notes, code_lines = comments(example.code), example.code.splitlines()
    wrong = []
    for statement in tree.body:
        shown = shown_by(statement, notes, code_lines)
        where = f"{example.document} line {example.line + statement.lineno - 1}: {ast.unparse(statement)}"
        if shown is None:
            exec(compile(ast.Module([statement], []), "<README>", "exec"), namespace)
            continue
        try:
            actual = eval(compile(ast.Expression(statement.value), "<README>", "eval"), namespace)
        except Exception as error:  # noqa: BLE001 - compared with what the README says it raises
            if (type(error).__name__, str(error)) != shown.raises:
                wrong.append(f"{where} raises {type(error).__name__}: {error}; the README shows {shown.text}")
            continue
        if shown.raises or not same(actual, shown.value):
            wrong.append(f"{where} gives {actual!r}; the README shows {shown.text}")
    return wrong


@pytest.fixture(scope="module")
def sample_folder(tmp_path_factory):
    """What make demo leaves, made by the script it runs."""
    folder = tmp_path_factory.mktemp("readme")
    subprocess.run([str(ROOT / "scripts" / "make-sample.sh"), str(folder / "build" / "demo")], check=True)
    return folder


def test_every_value_the_readme_shows_is_the_one_its_example_gives(sample_folder, monkeypatch):
    monkeypatch.chdir(sample_folder)
    namespace: dict = {}
    wrong = [line for example in python_examples() for line in run_example(example, namespace)]
    assert wrong == []


def test_make_demo_makes_the_sample_with_the_same_script():
    makefile = (ROOT / "Makefile").read_text()
    recipe = re.search(r"^\$\(SAMPLE\):.*\n((?:\t.*\n)+)", makefile, re.M)
    assert recipe and recipe.group(1).strip() == "scripts/make-sample.sh $(dir $@)"
    assert re.search(r"^SAMPLE\s*:=\s*build/demo/sample\.mp4$", makefile, re.M)


CONVENTION = {
    "session.width  # 640": 640,
    "session.fps  # 25.0: frames a second": 25.0,
    "names  # 'a', ('b',": ValueError,            # left open, nothing below
    "qp  # array([1, -2], dtype=int8)": np.array([1, -2], np.int8),
    "stats  # [19.2 30.8]": ValueError,           # NumPy's print form
    "mapping  # {'x': 1}: a dict": {"x": 1},
    "session.time_base  # Fraction(1, 25): one frame": Fraction(1, 25),
    "session.get_qpmap(100)  # IndexError: Frame index out of bounds: 100": ("IndexError",
                                                                            "Frame index out of bounds: 100"),
    "session.num_frames  # numbered from 0": None,  # prose
    "session.fps  # 25.0, numbered": ValueError,   # prose after a comma, not after ': '
}


@pytest.mark.parametrize("line", list(CONVENTION))
def test_the_comment_convention(line):
    expected = CONVENTION[line]
    code = line + "\n"
    statement = ast.parse(code).body[0]
    if expected is ValueError:
        with pytest.raises(ValueError):
            shown_by(statement, comments(code), code.splitlines())
        return
    shown = shown_by(statement, comments(code), code.splitlines())
    if expected is None:
        assert shown is None
    elif isinstance(expected, tuple):
        assert shown.raises == expected
    else:
        assert same(shown.value, expected)


def test_a_value_may_go_on_below_while_it_is_open():
    code = "names  # 997, ('source',\n       #  'w'): prose\n       # more prose\n"
    shown = shown_by(ast.parse(code).body[0], comments(code), code.splitlines())
    assert shown.value == (997, ("source", "w"))


def test_make_demo_installs_what_the_demo_imports_and_not_the_test_tools():
    makefile = (ROOT / "Makefile").read_text()
    prerequisites = re.search(r"^demo: (.*)$", makefile, re.M).group(1).split()
    assert "$(INSTALLED)" not in prerequisites and "$(DEMO_INSTALLED)" in prerequisites
    recipe = re.search(r"^\$\(DEMO_INSTALLED\):.*\n((?:\t.*\n)+)", makefile, re.M).group(1)
    assert re.findall(r"install-module,\$\(PYTHON\),([^,)]*)", recipe) == ["demo"]
    with open(ROOT / "pyproject.toml", "rb") as project:
        demo_extra = tomllib.load(project)["project"]["optional-dependencies"]["demo"]
    provided = {re.match(r"[\w-]+", requirement).group(0) for requirement in demo_extra}
    demo = ast.parse((ROOT / "examples" / "demo.py").read_text())
    imported = {alias.name.split(".")[0] for node in ast.walk(demo) if isinstance(node, ast.Import)
                for alias in node.names}
    imported |= {node.module.split(".")[0] for node in ast.walk(demo)
                 if isinstance(node, ast.ImportFrom) and node.module}
    assert imported - sys.stdlib_module_names - {"numpy", "vexmira", "vexmira_tools"} <= provided
    assert "pytest" not in provided and provided
