"""The README as the tests read it: its sections and the table that defines every column of
vexmira-stats' output."""

import re

from conftest import ROOT


def readme() -> str:
    return (ROOT / "README.md").read_text()


def section(title: str) -> str:
    """From the heading that names title to the next heading of the same or a higher level."""
    text = readme()
    heading = re.search(rf"^(#+) {re.escape(title)}\s*$", text, re.M)
    assert heading, f"the README has no section {title!r}"
    level = len(heading.group(1))
    following = re.compile(rf"^#{{1,{level}}} ", re.M).search(text, heading.end())
    return text[heading.end():following.start() if following else len(text)]


def column_definitions(title: str = "Columns") -> dict[str, list[str]]:
    """Each column the table of that section names in its first cell, with the other cells of its row."""
    columns = {}
    for line in section(title).splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("|") and len(cells) > 1 and not set(cells[0]) <= {"-", ":"}:
            for name in re.findall(r"`(\w+)`", cells[0]):
                columns[name] = cells[1:]
    return columns


def promised_suffixes() -> set[str]:
    """The file name suffixes that the "Files" section says open."""
    return set(re.findall(r"`(\.\w+)`", section("Files")))
