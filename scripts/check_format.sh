#!/usr/bin/env bash
# Checks every C and C++ source and header of the project, outside build folders and fuzz
# corpora, against .clang-format with clang-format 14 (Debian 12's), and names the files that differ.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
format=${CLANG_FORMAT:-clang-format-14}

command -v "$format" >/dev/null || { echo "check_format: $format is missing (scripts/setup.sh installs it)"; exit 1; }
# Another major version lays the same code out differently.
version=$("$format" --version)
[[ "$version" =~ version\ 14\. ]] || { echo "check_format: needs clang-format 14.x, $format is: $version"; exit 1; }

cd "$root"
differ=()
while IFS= read -r -d '' file; do
  "$format" --style="file:$root/.clang-format" "$file" | cmp -s - "$file" || differ+=("${file#./}")
done < <(find . \( -path './.*' -o -path './build*' -o -path './fuzz/corpus' \) -prune -o -type f \
  \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' -o -name '*.h' -o -name '*.hh' -o -name '*.hpp' \) \
  -print0 | sort -z)

if [ ${#differ[@]} -gt 0 ]; then
  echo "check_format: ${#differ[@]} files differ from .clang-format ($format -i FILE... rewrites them):"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "check_format: every source and header matches .clang-format"
