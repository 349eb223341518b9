"""Writes the module's docstrings, as help() shows them, into a C++ header, from the typing stub
(vexmira.pyi), which is their one source.

    python docstrings_from_stub.py STUB HEADER

Each docstring becomes a constant of namespace docstrings: kModule for the module's, k<Class> for
a class's, and k<Name> in CamelCase for a function's or a member's, leading and trailing
underscores dropped (__init__ is kInit, get_qpmap kGetQpmap); the first of overloads that has one
gives a member's. A method's first paragraph is its summary line, which help() lists beside the
signature, so its lines are joined into one; properties and classes keep the stub's lines.
"""

import ast
import sys
from pathlib import Path


def constant_name(name: str) -> str:
    return "k" + "".join(part[:1].upper() + part[1:] for part in name.strip("_").split("_"))


def is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(decorator, ast.Name) and decorator.id == "property" for decorator in node.decorator_list)


def as_shown(node: ast.FunctionDef, doc: str) -> str:
    if is_property(node):
        return doc
    summary, _, rest = doc.partition("\n\n")
    summary = " ".join(summary.split())
    return f"{summary}\n\n{rest}" if rest else summary


def stub_docstrings(tree: ast.Module) -> dict[str, str]:
    found = {"kModule": ast.get_docstring(tree)}

    def add(name: str, doc: str | None) -> None:
        if doc is None or name in found:
            return
        found[name] = doc

    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            if constant_name(node.name) in found:
                raise SystemExit(f"two docstrings would be named {constant_name(node.name)}")
            add(constant_name(node.name), ast.get_docstring(node))
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and (doc := ast.get_docstring(member)) is not None:
                    add(constant_name(member.name), as_shown(member, doc))
        elif isinstance(node, ast.FunctionDef) and (doc := ast.get_docstring(node)) is not None:
            add(constant_name(node.name), as_shown(node, doc))
    return found


def header(stub: Path, docstrings: dict[str, str]) -> str:
    lines = [f"// Written by docstrings_from_stub.py from {stub.name}: edit the stub, not this file.",
             "#pragma once", "", "namespace docstrings {", ""]
    for name, doc in docstrings.items():
        if ")doc\"" in doc:
            raise SystemExit(f"the docstring of {name} ends the C++ raw string")
        lines.append(f'inline constexpr const char* {name} = R"doc({doc})doc";')
    lines += ["", "}  // namespace docstrings", ""]
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    stub, target = Path(argv[0]), Path(argv[1])
    text = header(stub, stub_docstrings(ast.parse(stub.read_text(encoding="utf-8"))))
    # Rewritten only when it changes, so that an unchanged stub rebuilds nothing.
    if not target.exists() or target.read_text(encoding="utf-8") != text:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
