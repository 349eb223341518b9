#!/usr/bin/env bash
# Prints the path of a working CPython 3.12 interpreter: first on PATH, then among pyenv's
# installed versions (newest patch release first). pyenv's shims answer to every name even
# when no 3.12 is selected, so each candidate is asked for its version before it is taken.
set -euo pipefail

wanted="3.12"

is_wanted() {
    [[ -x "$1" ]] && [[ "$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" == "$wanted" ]]
}

candidates=()
for name in "python$wanted" python3 python; do
    path=$(command -v "$name" 2>/dev/null) && candidates+=("$path")
done
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
while IFS= read -r path; do
    candidates+=("$path")
done < <(ls -d "$pyenv_root"/versions/"$wanted".*/bin/python"$wanted" 2>/dev/null | sort -V -r)
candidates+=("/usr/bin/python$wanted" "/usr/local/bin/python$wanted")

for candidate in "${candidates[@]}"; do
    if is_wanted "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done
echo "No CPython $wanted found on PATH or among pyenv's versions ($pyenv_root/versions)." >&2
echo "Install one (for example 'pyenv install $wanted') and run make again." >&2
exit 1
