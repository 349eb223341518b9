"""Imports vexmira and checks which FFmpeg the process really loaded, from /proc/self/maps
(the loader's choice, which ldd only predicts): every libavcodec, libavformat and libavutil
mapped must lie in the expected directory, and the module must report the expected release.

    python tools/check_loaded_ffmpeg.py --bundled --version 9.0.2     # an installed wheel
    python tools/check_loaded_ffmpeg.py --libraries DIR --version 9.0.2
"""

import argparse
import re
import sys
from pathlib import Path

LIBRARY = re.compile(r"/lib(avcodec|avformat|avutil)[-.][^/]*$")


def mapped_ffmpeg_libraries() -> set[Path]:
    paths = set()
    for line in Path("/proc/self/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and LIBRARY.search(fields[5]):
            paths.add(Path(fields[5]))
    return paths


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--bundled", action="store_true", help="the libraries a wheel carries")
    where.add_argument("--libraries", type=Path, help="the directory they must come from")
    parser.add_argument("--version", required=True, help="the FFmpeg release expected")
    args = parser.parse_args(argv)

    import vexmira

    module = Path(vexmira.__file__).resolve()
    expected = module.parent / "vexmira.libs" if args.bundled else args.libraries.resolve()
    libraries = mapped_ffmpeg_libraries()
    print(f"vexmira {vexmira.__version__} from {module}")
    print(f"ffmpeg_version: {vexmira.ffmpeg_version}")
    for path in sorted(libraries):
        print(f"mapped: {path}")

    problems = []
    if {re.search(LIBRARY, str(path)).group(1) for path in libraries} != {"avcodec", "avformat", "avutil"}:
        problems.append("libavcodec, libavformat and libavutil are not all mapped")
    problems += [f"{path} is not in {expected}" for path in libraries if path.resolve().parent != expected]
    if vexmira.ffmpeg_version["ffmpeg"] != args.version:
        problems.append(f"the module runs with FFmpeg {vexmira.ffmpeg_version['ffmpeg']}, not {args.version}")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
