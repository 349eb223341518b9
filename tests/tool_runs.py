"""The ffmpeg tool and ffprobe asked about a file: where VEXMIRA_TEST_MEDIA names a folder
to keep the clips in, the answer is kept there and read back when the same question is asked
of the same bytes with the same tools. The suite's processes ask many questions alike, and
.ci/run's two stages share that folder, so the second asks none anew about the clips."""

import hashlib
import os
import pickle
import shutil
import subprocess
import tempfile
from pathlib import Path

KEPT = os.environ.get("VEXMIRA_TEST_MEDIA")
# A longer answer, a whole clip decoded, takes about as long to read back as to make anew.
LONGEST_KEPT = 32 << 20


def tool_output(arguments: list[str], text: bool = True) -> subprocess.CompletedProcess:
    """The tool run with these arguments, its output captured; what it writes goes to standard
    output or nowhere, never to a file."""
    arguments = [str(argument) for argument in arguments]
    key = answer_key(arguments)
    if key is None:
        return subprocess.run(arguments, capture_output=True, text=text)
    kept = Path(KEPT) / ".tool-answers" / f"{key}-{'text' if text else 'bytes'}.pickle"
    try:
        return pickle.loads(kept.read_bytes())
    except FileNotFoundError:
        pass
    result = subprocess.run(arguments, capture_output=True, text=text)
    if len(result.stdout) + len(result.stderr) > LONGEST_KEPT:
        return result
    kept.parent.mkdir(exist_ok=True)
    # Written aside and renamed into place: a process reading it sees all of it or nothing.
    with tempfile.NamedTemporaryFile(dir=kept.parent, delete=False) as part:
        pickle.dump(result, part)
    os.replace(part.name, kept)
    return result


def checked_output(arguments: list[str], text: bool = True) -> subprocess.CompletedProcess:
    """tool_output, raising CalledProcessError where the tool failed."""
    result = tool_output(arguments, text)
    result.check_returncode()
    return result


def answer_key(arguments: list[str]) -> str | None:
    """What names the answer: the arguments, the tool's own file, the libraries it is pointed
    to, and of each file it reads its name and contents but not its folder, so that a copy
    in a temporary folder of its own has the answer an earlier copy had (where the tool's log
    names the file, it names that earlier copy). None where no answer is kept."""
    tool = shutil.which(arguments[0])
    if not KEPT or tool is None:
        return None
    digest = hashlib.sha256()
    for part in [identity(Path(tool)), os.environ.get("LD_LIBRARY_PATH", "")]:
        digest.update(part.encode() + b"\0")
    for argument in arguments[1:]:
        if os.path.isfile(argument):
            digest.update(Path(argument).name.encode() + b"\0" + Path(argument).read_bytes())
        else:
            digest.update(argument.encode() + b"\0")
    return digest.hexdigest()


def identity(path: Path) -> str:
    resolved = path.resolve()
    status = resolved.stat()
    return f"{resolved}:{status.st_size}:{status.st_mtime_ns}"
