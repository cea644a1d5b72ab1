#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Holds the manual page and the tool's --help to each other: every command of
# `pcmpack --help` has a .SS section under COMMANDS, every option that
# `pcmpack COMMAND --help` lists has a .TP entry in that section (the
# top-level options: in OPTIONS), every positional argument is named in the
# section's heading, and nothing is documented that the tool does not take.
# -h/--help is documented once, in OPTIONS, for every command. Then the page
# must render through man(1) without a formatter warning.
#   man_page_test.sh TOOL MANPAGE
set -euo pipefail
tool=$1 page=$2
status=0
complain() { echo "man page test: $*" >&2; status=1; }

# The lines of one "Section:" block of a --help text.
help_block() { awk -v head="$1:" '$0 == head {on = 1; next} /^[^ ]/ {on = 0} on'; }
# Option names ("-o", "--output") of the option lines of every group of a
# help text (Options, Input, Target, ...): those indented by exactly two
# spaces; descriptions are indented further, and examples start with a word.
help_options() {
  grep -E '^  -' | awk '{print $1}' | tr ',' '\n' | grep -E '^-' | sort -u
}

# The page with font escapes and quotes removed and "\-" read as "-".
plain_page=$(sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/"//g' "$page")
# The lines of the .SH section NAME, or of the .SS section of command NAME
# (its heading's first word) under COMMANDS.
page_section() {
  awk -v want="$1" '
    /^\.SH / {sh = substr($0, 5); ss = ""; next}
    /^\.SS / {ss = $2; next}
    (want == "OPTIONS" && sh == "OPTIONS") || (sh == "COMMANDS" && ss == want)' <<<"$plain_page"
}
# Option names on the line after every .TP of a section.
page_options() {
  awk 'tp {print; tp = 0} /^\.TP/ {tp = 1}' |
    grep -oE '(^|[ ,])--?[A-Za-z0-9][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}
compare() {  # WHERE HELP_OPTIONS PAGE_OPTIONS
  local option
  for option in $(comm -23 <(echo "$2") <(echo "$3")); do
    complain "'$1' lists $option, which man/pcmpack.1 does not document (add a .TP entry to its section)"
  done
  for option in $(comm -13 <(echo "$2") <(echo "$3")); do
    complain "man/pcmpack.1 documents $option, which '$1' does not list"
  done
}

top_help=$("$tool" --help)
compare "pcmpack --help" "$(help_options <<<"$top_help")" "$(page_section OPTIONS | page_options)"

commands=$(help_block Subcommands <<<"$top_help" | grep -E '^  [a-z]' | awk '{print $1}' | sort -u)
[[ -n $commands ]] || complain "no command found in 'pcmpack --help'"
page_commands=$(awk '/^\.SH / {sh = $2} /^\.SS / && sh == "COMMANDS" {print $2}' <<<"$plain_page" | sort -u)
for c in $(comm -23 <(echo "$commands") <(echo "$page_commands")); do
  complain "command $c has no .SS section under COMMANDS"
done
for c in $(comm -13 <(echo "$commands") <(echo "$page_commands")); do
  complain "man/pcmpack.1 documents a command $c that the tool does not have"
done

for c in $commands; do
  help=$("$tool" "$c" --help)
  section=$(page_section "$c")
  compare "pcmpack $c --help" "$(help_options <<<"$help" | grep -vxE -- '-h|--help' || true)" \
    "$(page_options <<<"$section")"
  heading=$(awk -v c="$c" '/^\.SS / && $2 == c' <<<"$plain_page")
  for positional in $(help_block Positionals <<<"$help" | grep -E '^  [A-Z]' | awk '{print $1}'); do
    grep -qw -- "$positional" <<<"$heading" ||
      complain "the heading of $c in man/pcmpack.1 does not name its argument $positional"
  done
done

# The page renders, and the formatter has nothing to say about it.
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || complain "man -l failed: $warnings"
[[ -z $warnings ]] || complain "man -l warns: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null) || true
[[ $rendered == *"EXIT STATUS"* ]] || complain "man -l renders no EXIT STATUS"

((status == 0)) && echo "man page test: $(wc -w <<<"$commands") commands, options match --help, renders cleanly"
exit $status
