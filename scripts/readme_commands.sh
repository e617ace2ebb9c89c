#!/usr/bin/env bash
# Runs the shell blocks of README.md (```sh, ```bash or ```shell), in
# order, as a reader pastes them: each block in a fresh bash started in the
# repository's root, stopping at the first command line that fails, all of
# `a && b && c` included (bash's -e alone lets a failing `a` through), and
# at any failing command within one (-e, and pipefail). CI runs this on its
# fresh clone, so a command the README shows is a command that works.
#
# A block that cannot run unattended (it runs until stopped, or needs a
# terminal or a quiet machine) carries a marker on the line right above its
# fence, with the reason, which the log repeats:
#
#   <!-- readme-commands: skip: runs until stopped with Ctrl-C -->
#
# usage: scripts/readme_commands.sh [--list] [README]
#   --list  print the blocks and what would happen to each; run nothing
set -euo pipefail
cd "$(dirname "$0")/.."
list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi
readme=${1:-README.md}

fence_open='^```(sh|bash|shell)[[:space:]]*$'
fence_close='^```[[:space:]]*$'
marker_any='^<!-- readme-commands:'
marker_skip='^<!-- readme-commands: skip: (.+) -->$'

texts=() reasons=() starts=() sections=()
in_block=0 number=0 previous="" section="" text="" reason=""
while IFS= read -r line || [ -n "$line" ]; do
  number=$((number + 1))
  if ((in_block)); then
    if [[ $line =~ $fence_close ]]; then
      in_block=0
      texts+=("$text")
    else
      text+="$line"$'\n'
    fi
  elif [[ $line =~ $fence_open ]]; then
    in_block=1 text="" reason=""
    if [[ $previous =~ $marker_skip ]]; then
      reason=${BASH_REMATCH[1]}
    fi
    reasons+=("$reason") starts+=("$number") sections+=("$section")
  else
    if [[ $previous =~ $marker_any ]]; then
      echo "$readme:$((number - 1)): a readme-commands marker must be" \
        "'<!-- readme-commands: skip: REASON -->' right above a shell block" >&2
      exit 2
    fi
    [[ $line =~ ^#+[[:space:]] ]] && section=$line
  fi
  previous=$line
done <"$readme"
if ((in_block)); then
  echo "$readme:${starts[-1]}: the shell block there is never closed" >&2
  exit 2
fi
if [ ${#texts[@]} -eq 0 ]; then
  echo "$readme: no shell blocks found" >&2
  exit 2
fi

# The block as a script that stops after the first command line whose
# status is not 0. A command line is a line, joined with the next while it
# ends in a backslash or is not yet a complete command (an if, a loop, a
# here-document, an open quote).
# (The $ in the printed lines is for the generated script to expand.)
# shellcheck disable=SC2016
checked_script() {
  local text=$2 unit="" line at=$1 unit_at=$1
  printf 'set -e -o pipefail\n'
  printf 'trap '\''echo "--- this failed with status $?: $BASH_COMMAND" >&2'\'' ERR\n'
  while IFS= read -r line; do
    [ -z "$unit" ] && unit_at=$at
    at=$((at + 1))
    unit+="$line"$'\n'
    [[ $line == *\\ ]] && continue
    [ -z "$(bash -n <<<"$unit" 2>&1)" ] || continue
    printf '%s' "$unit"
    printf 'readme_status=$?; [ "$readme_status" -eq 0 ] || { echo "--- %s:%s: this command failed with status $readme_status" >&2; exit "$readme_status"; }\n' \
      "$readme" "$unit_at"
    unit=""
  done <<<"$text"
  printf '%s' "$unit"
}

ran=0 skipped=0
for i in "${!texts[@]}"; do
  printf '\n--- %s:%s (%s), %ss in\n' "$readme" "${starts[i]}" \
    "${sections[i]:-top}" "$SECONDS"
  printf '%s' "${texts[i]}" | sed 's/^/    /'
  if [ -n "${reasons[i]}" ]; then
    echo "--- not run: ${reasons[i]}"
    skipped=$((skipped + 1))
    continue
  fi
  ((list_only)) && continue
  status=0
  bash -c "$(checked_script $((starts[i] + 1)) "${texts[i]}")" </dev/null ||
    status=$?
  if [ "$status" -ne 0 ]; then
    echo "--- $readme:${starts[i]}: the block failed with status $status" >&2
    exit "$status"
  fi
  ran=$((ran + 1))
done
if ((list_only)); then
  echo "${#texts[@]} shell blocks, $skipped marked not to run"
else
  echo "README commands: $ran blocks ran, $skipped marked not to run, in ${SECONDS}s"
fi
