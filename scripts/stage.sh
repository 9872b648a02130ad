# Sourced by the test scripts: `stage TITLE` prints the previous stage's time and starts the
# next; `stage ""` ends the last one. Each time is wall-clock seconds and the processor time
# (user + system) of the processes the stage ran and waited for, so that a stage slowed by
# another load on the machine can be told from one that does more work.
# Inside one of scripts/test.sh's lanes (STAGE_LANE set), whose output goes to a log, these
# lines also go to the run's own output (file descriptor 3) as they happen, marked with the lane.
_stage_cpu() {  # sets cpu: processor time, in clock ticks, of this shell and its waited-for children
  local -a stat
  read -r -a stat </proc/$BASHPID/stat
  cpu=$((stat[13] + stat[14] + stat[15] + stat[16]))
}
_stage_say() {
  echo "$1"
  if [[ -n "${STAGE_LANE:-}" ]] && { true >&3; } 2>/dev/null; then echo "[$STAGE_LANE] $1" >&3; fi
}
stage() {
  local now=$SECONDS cpu
  _stage_cpu
  [[ -z "${STAGE:-}" ]] || _stage_say "-- $STAGE: $((now - STAGE_START)) s (CPU $(((cpu - STAGE_CPU) / $(getconf CLK_TCK))) s)"
  STAGE="$1" STAGE_START=$now STAGE_CPU=$cpu
  [[ -z "$1" ]] || _stage_say "== $1"
}
