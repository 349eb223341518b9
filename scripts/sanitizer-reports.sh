#!/usr/bin/env bash
# Prints the ASan and UBSan reports that make sanitize's processes left in DIR (a file each,
# report.PID) and fails if there is any: the first in full, then each summary line with how
# often it came, as one fault tends to show in dozens of the tests' child processes.
set -euo pipefail
folder=$1

shopt -s nullglob
reports=("$folder"/report.*)
[[ ${#reports[@]} -eq 0 ]] && exit 0

echo "Sanitizer reports from ${#reports[@]} processes in $folder; the first:"
cat "$(ls -tr -d "${reports[@]}" | head -n 1)"
echo "Their summaries:"
grep -h '^SUMMARY' "${reports[@]}" | sort | uniq -c || true
exit 1
