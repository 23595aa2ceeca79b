#!/usr/bin/env bash
# The storage emulator (azurite: the blob and queue services) for the
# integration tests, the local run and the benchmarks.
#
#   azurite.sh start STATEDIR   installs the pinned emulator (npm ci) when it is
#                               missing, starts it on 127.0.0.1 and free ports,
#                               in memory, with two accounts (output and source),
#                               waits until it answers and prints the
#                               "export NAME=value" lines for the settings
#   azurite.sh stop STATEDIR    stops the emulator started with that STATEDIR
#   azurite.sh start-oauth STATEDIR
#                               a second emulator over HTTPS that takes
#                               Microsoft Entra ID bearer tokens (checking
#                               their claims, not their signature), with a
#                               certificate of its own for 127.0.0.1; prints
#                               keyless connection strings of both accounts
#                               and the certificate's path
#   azurite.sh stop-oauth STATEDIR
#
# Only the export lines go to standard output; everything else to standard error.
set -euo pipefail

usage() {
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
}

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
VERSION=3.35.0
OUTPUT_ACCOUNT=kestoout
SOURCE_ACCOUNT=kestosrc
OUTPUT_CONTAINER=kesto-output
SOURCE_CONTAINER=kesto-source

cmd=${1:-}
case "$cmd" in
  -h|--help) usage; exit 0 ;;
  start|stop|start-oauth|stop-oauth) ;;
  *) usage >&2; exit 2 ;;
esac
if [ $# -lt 2 ] || [ -z "$2" ]; then
  usage >&2
  exit 2
fi
MODE=http
case "$cmd" in
  *-oauth) MODE=oauth; cmd=${cmd%-oauth}; DIR=$2/azurite-oauth ;;
  *) DIR=$2/azurite ;;
esac

installed_version() {
  node -p 'require(process.argv[1]).version' "$ROOT/node_modules/azurite/package.json" 2>/dev/null || true
}

free_port() {
  node -e 'const s=require("net").createServer();s.listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close();});'
}

# Whether anything answers HTTP (HTTPS in the OAuth mode) on the port (any
# status means ready).
answers() {
  node -e '
    const proto = process.argv[2] === "oauth" ? require("https") : require("http");
    const req = proto.get({host: "127.0.0.1", port: +process.argv[1], path: "/", timeout: 1000,
                           rejectUnauthorized: false},
      (res) => { res.resume(); process.exit(0); });
    req.on("timeout", () => { req.destroy(); process.exit(1); });
    req.on("error", () => process.exit(1));' "$1" "$MODE"
}

# Terminates the process group started for the emulator, then the process itself.
stop_pid() {
  local pid=$1 i
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}

if [ "$cmd" = stop ]; then
  if [ -f "$DIR/pid" ]; then
    stop_pid "$(cat "$DIR/pid")"
    rm -f "$DIR/pid"
  fi
  exit 0
fi

if [ -f "$DIR/pid" ] && kill -0 "$(cat "$DIR/pid")" 2>/dev/null; then
  echo "azurite: already running for $2 (pid $(cat "$DIR/pid"))" >&2
  exit 1
fi
mkdir -p "$DIR"

if [ "$(installed_version)" != "$VERSION" ] || [ ! -e "$ROOT/node_modules/.bin/azurite" ]; then
  echo "azurite: installing azurite $VERSION with npm ci" >&2
  (cd "$ROOT" && npm ci --no-audit --no-fund --loglevel=error) >&2
fi

# Fresh keys per start: nothing outside this run can use the accounts.
OUTPUT_KEY=$(head -c 64 /dev/urandom | base64 -w0)
SOURCE_KEY=$(head -c 64 /dev/urandom | base64 -w0)

# The OAuth mode serves HTTPS only: a certificate of its own for 127.0.0.1,
# which the tests trust through KESTO_CA_BUNDLE.
EXTRA=()
SCHEME=http
if [ "$MODE" = oauth ]; then
  SCHEME=https
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1" -addext "basicConstraints=critical,CA:TRUE" \
    -keyout "$DIR/key.pem" -out "$DIR/cert.pem" >/dev/null 2>&1
  EXTRA=(--oauth basic --cert "$DIR/cert.pem" --key "$DIR/key.pem")
fi

started=""
for attempt in 1 2 3 4 5; do
  PORT=$(free_port)
  QUEUE_PORT=$(free_port)
  TABLE_PORT=$(free_port)
  # setsid: the emulator gets a process group of its own, so stop takes its
  # children too; its output goes to a file so no pipe of the caller stays open.
  # One process serves blobs and queues (and an unused table service, which
  # this command cannot leave out).
  AZURITE_ACCOUNTS="$OUTPUT_ACCOUNT:$OUTPUT_KEY;$SOURCE_ACCOUNT:$SOURCE_KEY" \
    setsid "$ROOT/node_modules/.bin/azurite" \
    --blobHost 127.0.0.1 --blobPort "$PORT" --queueHost 127.0.0.1 --queuePort "$QUEUE_PORT" \
    --tableHost 127.0.0.1 --tablePort "$TABLE_PORT" --inMemoryPersistence --extentMemoryLimit 512 \
    --disableTelemetry --silent "${EXTRA[@]}" </dev/null >"$DIR/azurite.log" 2>&1 &
  PID=$!
  echo "$PID" >"$DIR/pid"
  for i in $(seq 1 300); do
    if ! kill -0 "$PID" 2>/dev/null; then
      break
    fi
    if answers "$PORT" && answers "$QUEUE_PORT"; then
      started=yes
      break
    fi
    sleep 0.1
  done
  [ -n "$started" ] && break
  stop_pid "$PID"
  rm -f "$DIR/pid"
  echo "azurite: start on port $PORT failed (attempt $attempt):" >&2
  tail -n 20 "$DIR/azurite.log" >&2 || true
done
if [ -z "$started" ]; then
  echo "azurite: could not start the storage emulator" >&2
  exit 1
fi
label=azurite
[ "$MODE" = oauth ] && label="azurite (OAuth, HTTPS)"
echo "$label: blob service on 127.0.0.1:$PORT, queue service on 127.0.0.1:$QUEUE_PORT (pid $PID)" >&2

if [ "$MODE" = oauth ]; then
  # No key: clients sign in with tokens.
  keyless() {
    printf 'BlobEndpoint=https://127.0.0.1:%s/%s;QueueEndpoint=https://127.0.0.1:%s/%s' "$PORT" "$1" "$QUEUE_PORT" "$1"
  }
  printf 'export %s=%q\n' \
    KESTO_OAUTH_STORAGE_CONNECTION_STRING "$(keyless "$OUTPUT_ACCOUNT")" \
    KESTO_OAUTH_TOLVAN_STORAGE_CONNECTION_STRING "$(keyless "$SOURCE_ACCOUNT")" \
    KESTO_OAUTH_CA_BUNDLE "$DIR/cert.pem"
  exit 0
fi

connection() {
  printf 'DefaultEndpointsProtocol=http;AccountName=%s;AccountKey=%s;BlobEndpoint=http://127.0.0.1:%s/%s;QueueEndpoint=http://127.0.0.1:%s/%s;' \
    "$1" "$2" "$PORT" "$1" "$QUEUE_PORT" "$1"
}
printf 'export %s=%q\n' \
  STORAGE_ACCOUNT_CONNECTION_STRING "$(connection "$OUTPUT_ACCOUNT" "$OUTPUT_KEY")" \
  TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING "$(connection "$SOURCE_ACCOUNT" "$SOURCE_KEY")" \
  STORAGE_CONTAINER_NAME "$OUTPUT_CONTAINER" \
  TOLVAN_STORAGE_CONTAINER_NAME "$SOURCE_CONTAINER" \
  KESTO_AZURITE_PORT "$PORT" \
  KESTO_AZURITE_QUEUE_PORT "$QUEUE_PORT"
