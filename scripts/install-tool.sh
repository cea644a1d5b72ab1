#!/usr/bin/env bash
# Installs the tool of a built tree where a new shell finds it: PREFIX/bin
# for `pcmpack`, PREFIX/share/man/man1 for `man pcmpack` (man derives that
# folder from the PATH), and, from a shared build, the library it loads.
# PREFIX is /usr/local for root, ~/.local for anyone else.
#   scripts/install-tool.sh [-y] BUILD_DIR [PREFIX]
# PREFIX/share/pcmpack/installed-files lists what it put there, so that a
# second run replaces its own files and `xargs rm < that list` removes them.
# A pcmpack in PREFIX/bin that is not on that list (a Debian package's, one
# installed by hand) is left alone unless -y (--overwrite) says to replace
# it; one elsewhere on the PATH is named, with which of the two runs first.
set -euo pipefail
overwrite=0
if [[ ${1:-} == -y || ${1:-} == --overwrite ]]; then overwrite=1; shift; fi
if (($# < 1 || $# > 2)); then
  echo "usage: scripts/install-tool.sh [-y] BUILD_DIR [PREFIX]" >&2
  exit 2
fi
build=$1
if [[ -n ${2:-} ]]; then prefix=$2
elif (($(id -u) == 0)); then prefix=/usr/local
else prefix=$HOME/.local
fi
prefix=$(realpath -m "$prefix")
tool=$prefix/bin/pcmpack
list=$prefix/share/pcmpack/installed-files

# Which pcmpack a file is, in the words a user recognises it by.
describe() {
  local version owner
  version=$("$1" --version 2>/dev/null | head -n1) || version=""
  owner=$(dpkg-query -S "$1" 2>/dev/null | cut -d: -f1) || owner=""
  echo "$1${version:+ ($version)}${owner:+, from the Debian package $owner}"
}

if [[ -e $tool ]] && ! grep -qxF "$tool" "$list" 2>/dev/null; then
  if ((!overwrite)); then
    echo "install-tool: $(describe "$tool") was not installed by this script; it is left as it is." >&2
    echo "install-tool: add -y to replace it, or give another PREFIX." >&2
    exit 1
  fi
  echo "install-tool: replacing $(describe "$tool"), which this script did not install"
fi

# The library component is empty for a static build.
installed=()
for component in library tool; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  mapfile -t -O "${#installed[@]}" installed <"$build/install_manifest_$component.txt"
done
mkdir -p "$(dirname "$list")"
printf '%s\n' "${installed[@]}" "$list" >"$list"
echo "install-tool: installed $tool and its manual page under $prefix/share/man"

# What a shell with this PATH runs when told `pcmpack`, and any other
# pcmpack it would find (the same file twice, as /bin and /usr/bin, once).
if [[ :$PATH: == *:$prefix/bin:* ]]; then
  :
elif [[ $prefix == "$HOME/.local" ]] && grep -qs '\.local/bin' "$HOME/.profile"; then
  echo "install-tool: $prefix/bin is not on this shell's PATH; ~/.profile adds it when you next log in"
else
  echo "install-tool: $prefix/bin is not on your PATH; add it: export PATH=\"$prefix/bin:\$PATH\""
fi
mapfile -t found < <(type -ap pcmpack | xargs -r realpath | awk '!seen[$0]++')
for other in "${found[@]}"; do
  [[ $other == "$(realpath "$tool")" ]] && continue
  if [[ $other == "${found[0]}" ]]; then
    echo "install-tool: $(describe "$other") comes first on your PATH: \`pcmpack\` runs it, not $tool"
  elif [[ :$PATH: == *:$prefix/bin:* ]]; then
    echo "install-tool: $(describe "$other") stays; \`pcmpack\` runs $tool, which comes first on your PATH"
  fi
done
