# Sourced by the fixture scripts: fresh_folder DIR TOOL... empties DIR and
# checks the tools are there. Without one, DIR holds "missing" and the script
# ends (the tests then skip), or under CI it fails.
fresh_folder() {
  folder="$1"
  shift
  rm -rf "$folder"
  mkdir -p "$folder"
  missing=""
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
  done
  if [ -n "$missing" ]; then
    echo "missing:$missing" >&2
    [ -n "${CI:-}" ] && exit 1
    echo "$missing" > "$folder/missing"
    exit 0
  fi
}
