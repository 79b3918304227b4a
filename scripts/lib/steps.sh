# Shared by the scripts: one line per step, the tools' own output in a log shown only on failure.
# Source it; it sets trelvo_root and trelvo_logs (build/logs).

trelvo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
trelvo_logs=$trelvo_root/build/logs
quietly_started=""

# "2m05s" or "40s".
elapsed() {
  local s=$1
  if ((s >= 60)); then printf '%dm%02ds' $((s / 60)) $((s % 60)); else printf '%ds' "$s"; fi
}

# Prints the end of a failed step's log: the lines a reader needs, not the whole tool chatter.
show_log() {
  local log=$1 lines=${2:-60}
  echo "---- last $lines lines of $log"
  tail -n "$lines" "$log"
  echo "----"
}

# quietly LABEL LOG COMMAND...: one line for the step, "LABEL: done in 1m05s", with the command's
# output in LOG; on failure the end of LOG is shown (with quietly_brief set, nothing: the caller says
# in a line what the failure means). While it runs, the progress the command reports
# ("[ 42%]" from make with the file it is compiling or linking, "3/10 Test" from ctest) and the time
# taken show on a terminal in place on that line, refreshed at least every 10 seconds, elsewhere (a
# CI log) as a line every 30 seconds: no step is silent for a minute.
quietly() {
  local label=$1 log=$2
  shift 2
  mkdir -p "$(dirname "$log")"
  # A log is started afresh by the first step of a run that writes it; later steps append.
  if [[ " $quietly_started " != *" $log "* ]]; then
    : >"$log"
    quietly_started+=" $log"
  fi
  echo "== $label" >>"$log"
  local start=$SECONDS tty=0
  [[ -t 1 ]] && tty=1
  ((tty)) && printf '%s...' "$label"

  local status_file
  status_file=$(mktemp)
  { "$@" && rc=0 || rc=$?; echo "$rc" >"$status_file"; } 2>&1 | {
    local line partial="" progress="" doing="" shown="" last=$SECONDS rc
    while :; do
      if IFS= read -r -t 10 line; then
        line=$partial$line
        partial=""
      else
        rc=$?
        if ((rc > 128)); then
          partial+=$line  # timed out mid-line: keep what came
          line=""
        else
          [[ -n $partial$line ]] && printf '%s\n' "$partial$line" >>"$log"
          break
        fi
      fi
      if [[ -n $line ]]; then
        printf '%s\n' "$line" >>"$log"
        if [[ $line =~ ^\[\ *([0-9]+)%\]\ (.*)$ ]]; then
          # Parallel make prints its percentages slightly out of order.
          local p=${BASH_REMATCH[1]} what=${BASH_REMATCH[2]}
          [[ -z $progress || ${progress%\%} -lt $p ]] && progress="$p%"
          # The percentage stands still through a long compile or link: say which one it is.
          case $what in
            Building*) doing=${what##*/} doing="compiling ${doing%.o*}" ;;
            Linking*) doing="linking ${what##*[ /]}" ;;
          esac
        elif [[ $line =~ ^\ *([0-9]+)/([0-9]+)\ +Test\ + ]]; then
          progress="${BASH_REMATCH[1]}/${BASH_REMATCH[2]}"
        fi
      fi
      local now=$SECONDS
      if ((tty)); then
        if [[ "$progress $doing" != "$shown" ]] || ((now - last >= 10)); then
          printf '\r\033[K%s... %s%s' "$label" "${progress:+$progress }${doing:+$doing, }" "$(elapsed $((now - start)))"
          shown="$progress $doing"
          last=$now
        fi
      elif ((now - last >= 30)); then
        echo "$label... ${progress:+$progress }${doing:+$doing, }$(elapsed $((now - start)))"
        last=$now
      fi
    done
  }
  local status
  status=$(cat "$status_file")
  rm -f "$status_file"
  local took
  took=$(elapsed $((SECONDS - start)))
  if ((status == 0)); then
    if ((tty)); then printf '\r\033[K%s: done in %s\n' "$label" "$took"; else echo "$label: done in $took"; fi
  elif [[ -n ${quietly_brief:-} ]]; then
    # The caller says in one line what the failure means.
    ((tty)) && echo
  else
    ((tty)) && echo
    echo "$label: FAILED after $took (exit status $status); full output in $log"
    show_log "$log"
  fi
  return "$status"
}

# configure_preset PRESET: configures one CMake preset of the repository.
configure_preset() {
  (cd "$trelvo_root" && quietly "configuring (preset $1)" "$trelvo_logs/configure-$1.log" cmake --preset "$1")
}

# build_preset PRESET [TARGET...]: builds a preset, or only the targets named.
build_preset() {
  local preset=$1
  shift
  local targets=()
  (($#)) && targets=(--target "$@")
  (cd "$trelvo_root" && quietly "building (preset $preset)" "$trelvo_logs/build-$preset.log" \
    cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}")
}

# note_windows_suite TEXT: one line for the list of Windows suites that ran, 32-bit or 64-bit, that
# .ci/run prints at its end.
note_windows_suite() {
  mkdir -p "$trelvo_logs"
  echo "$1" >>"$trelvo_logs/windows-suites.txt"
}

# The mirror lines this machine's apt uses, "URI SUITE", from both source formats.
apt_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -r $f ]] || continue
    # deb [options] URI SUITE COMPONENT...
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                       print $i, $(i + 1) }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -r $f ]] || continue
    # deb822: paragraphs of "Field: value", each with one or more URIs and suites.
    awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no")
                              for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) print uris[u], suites[s]
                            types = ""; enabled = ""; nu = 0; ns = 0 }
         /^[[:space:]]*#/ { next }
         /^[[:space:]]*$/ { flush(); next }
         { field = tolower($1); sub(/:$/, "", field); $1 = "" }
         field == "types" { types = $0 }
         field == "enabled" { enabled = tolower($2) }
         field == "uris" { nu = split($0, uris, " ") }
         field == "suites" { ns = split($0, suites, " ") }
         END { flush() }' "$f"
  done
}

# trelvo_version: the packages' version: the release number, "2012.6.22.1", for a release (a commit
# whose CHANGELOG.md has no Unreleased section); "2012.6.22.1+dev.<commits>.<hash>" for any other.
trelvo_version() {
  python3 "$trelvo_root/scripts/lib/package.py" version "$trelvo_root"
}
