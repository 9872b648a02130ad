# Sourced by the test scripts: `stage TITLE` prints the previous stage's time and starts the
# next; `stage ""` ends the last one. Each time is wall-clock seconds and the processor time
# (user + system) of the processes the stage ran and waited for, so that a stage slowed by
# another load on the machine can be told from one that does more work.
_stage_cpu() {  # processor time, in clock ticks, of this shell and its waited-for children
  local stat
  stat="$(</proc/$$/stat)"
  set -- ${stat##*) }
  echo $((${12} + ${13} + ${14} + ${15}))
}
stage() {
  local now cpu
  now=$SECONDS cpu=$(_stage_cpu)
  [[ -z "${STAGE:-}" ]] || echo "-- $STAGE: $((now - STAGE_START)) s (CPU $(((cpu - STAGE_CPU) / $(getconf CLK_TCK))) s)"
  STAGE="$1" STAGE_START=$now STAGE_CPU=$cpu
  [[ -z "$1" ]] || echo "== $1"
}
