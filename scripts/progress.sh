# Stage headings and compact progress for the scripts (POSIX sh; sourced).

: "${KAVREL_T0:=$(date +%s)}"
export KAVREL_T0

# stage TEXT: a heading with the time since the first script started.
stage() {
    elapsed=$(($(date +%s) - KAVREL_T0))
    printf '\n== [%d:%02d] %s\n' $((elapsed / 60)) $((elapsed % 60)) "$*"
}

# build LOG ARGS...: `cmake --build ARGS...` with its output kept in LOG and
# only the progress shown (every tenth percent) and a count of compiler
# warnings; the end of LOG is shown when the build fails.
build() {
    log=$1
    shift
    printf '   building (log: %s):' "$log"
    { cmake --build "$@" 2>&1; echo $? >"$log.status"; } | tee "$log" | awk '
        /^\[ *[0-9]+%\]/ { p = $0; sub(/^\[ */, "", p); p = p + 0 }
        /^\[[0-9]+\/[0-9]+\]/ { split(substr($1, 2), f, "/"); p = int(100 * f[1] / f[2]) }
        p >= shown + 10 || (p == 100 && shown < 100) { printf " %d%%", p; shown = p; fflush() }
        END { printf "\n" }'
    status=$(cat "$log.status")
    rm -f "$log.status"
    warnings=$(grep -c 'warning:' "$log" || true)
    if [ "$warnings" -gt 0 ]; then
        echo "   $warnings compiler warning(s):"
        grep 'warning:' "$log" | head -10 | sed 's/^/     /'
    fi
    if [ "$status" -ne 0 ]; then
        echo "   build failed; the end of $log:" >&2
        tail -40 "$log" >&2
        return "$status"
    fi
}
