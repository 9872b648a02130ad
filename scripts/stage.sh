# Sourced by the test scripts: `stage TITLE` prints the previous stage's time and starts the
# next; `stage ""` ends the last one.
stage() {
  [[ -z "${STAGE:-}" ]] || echo "-- $STAGE: $((SECONDS - STAGE_START)) s"
  STAGE="$1" STAGE_START=$SECONDS
  [[ -z "$1" ]] || echo "== $1"
}
