# Sourced by the scripts that run the local services. start_services STATE
# SCRIPT... starts each service script with the state folder STATE and takes
# in the "export NAME=value" lines it prints; stop_services STATE stops the
# ones started, newest first; print_stop_commands STATE says how to do that
# by hand.
kesto_started_services=()

start_services() {
  local state=$1 svc
  shift
  for svc in "$@"; do
    kesto_started_services+=("$svc")
    eval "$(bash "$svc" start "$state")"
  done
}

stop_services() {
  local state=$1 i
  for ((i = ${#kesto_started_services[@]} - 1; i >= 0; i--)); do
    bash "${kesto_started_services[$i]}" stop "$state" || true
  done
}

print_stop_commands() {
  local state=$1 i
  for ((i = ${#kesto_started_services[@]} - 1; i >= 0; i--)); do
    echo "  bash ${kesto_started_services[$i]} stop $state"
  done
}
