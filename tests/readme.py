"""The README and the documents it leads to, as the tests read them: their sections and the
table that defines every column of vexmira-stats' output."""

import re

from conftest import ROOT


# The documents whose Python examples go on from the README's, in the order they run.
DOCUMENTS = ["README.md", "docs/api.md", "docs/files-and-limits.md", "docs/command-line.md"]


def readme() -> str:
    return (ROOT / "README.md").read_text()


def document(name: str) -> str:
    return (ROOT / name).read_text()


def section(title: str, text: str | None = None) -> str:
    """From the heading that names title to the next heading of the same or a higher level,
    in the README or the text given."""
    text = readme() if text is None else text
    heading = re.search(rf"^(#+) {re.escape(title)}\s*$", text, re.M)
    assert heading, f"the README has no section {title!r}"
    level = len(heading.group(1))
    following = re.compile(rf"^#{{1,{level}}} ", re.M).search(text, heading.end())
    return text[heading.end():following.start() if following else len(text)]


def column_definitions(title: str = "Columns", text: str | None = None) -> dict[str, list[str]]:
    """Each column the table of that section (of the README or the text given) names in its
    first cell, with the other cells of its row."""
    columns = {}
    for line in section(title, text).splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("|") and len(cells) > 1 and not set(cells[0]) <= {"-", ":"}:
            for name in re.findall(r"`(\w+)`", cells[0]):
                columns[name] = cells[1:]
    return columns


def promised_suffixes() -> set[str]:
    """The file name suffixes that the "Files" section says open."""
    return set(re.findall(r"`(\.\w+)`", section("Files", document("docs/files-and-limits.md"))))
