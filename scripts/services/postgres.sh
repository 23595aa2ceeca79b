#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for the tests and the local run.
#
#   postgres.sh start STATEDIR   start it; print the "export NAME=value" lines
#   postgres.sh stop STATEDIR    stop it and remove everything it made
#
# The cluster lives in a fresh folder of its own (its path is kept in
# STATEDIR/postgres.dir), listens on 127.0.0.1 only, on a free port, with TLS
# (a self-signed certificate made at start) and scram passwords; nothing but
# TLS connections from 127.0.0.1 are accepted over TCP. As root, the server
# runs as the postgres user (initdb refuses root).
#
# It holds two databases owned by the role "kesto" (random password):
#   kesto_test   the metadata database (PG*): sop_metadata and
#                testing_table_metadata made from sql/sop_metadata.sql, and
#                the unaccent extension for the index's full-text search
#   0348_kesto   the registry database (TOLVANSTORE_*): ops.kesto_prod made
#                from sql/kesto_prod.sql, empty
# Tests create and drop their own uniquely named tables beside these, so that
# test processes can run at the same time.
#
# Only the export lines go to standard output; progress and failures go to
# standard error.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PGBIN=${PGBIN:-/usr/lib/postgresql/15/bin}
ROLE=kesto
DB=kesto_test
REGISTRY_DB=0348_kesto

die() { echo "postgres.sh: $*" >&2; exit 1; }

usage() { echo "usage: postgres.sh start|stop STATEDIR" >&2; exit 2; }

# Runs a command as the cluster's owner.
as_owner() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# True when something accepts connections on 127.0.0.1:$1.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

stop_cluster() {
  local dir=$1 pid
  [ -d "$dir" ] || return 0
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$PGBIN/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    # pg_ctl gave up: end the postmaster it started (its children follow it).
    if [ -f "$dir/data/postmaster.pid" ]; then
      pid=$(head -n 1 "$dir/data/postmaster.pid" 2>/dev/null || true)
      if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
    fi
  fi
  rm -rf "$dir"
}

start() {
  local port="" password attempt
  # Globals: the exit trap below reads them after this function has returned.
  STATE=$1
  ready=0
  [ -x "$PGBIN/initdb" ] || die "PostgreSQL 15 server programs not found in $PGBIN (run scripts/bootstrap.sh)"
  mkdir -p "$STATE"
  if [ "$(id -u)" = 0 ]; then
    id postgres >/dev/null 2>&1 || die "the postgres user does not exist (install postgresql-15)"
  fi

  # A folder of its own: STATEDIR may not be reachable by the postgres user.
  CLUSTER=$(mktemp -d /tmp/kesto-pg.XXXXXX)
  local dir=$CLUSTER
  echo "$dir" >"$STATE/postgres.dir"
  # Whatever ends the start early leaves nothing behind.
  trap 'if [ "$ready" != 1 ]; then stop_cluster "$CLUSTER"; rm -f "$STATE/postgres.dir"; fi' EXIT

  openssl req -new -x509 -days 7 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
    -subj "/CN=127.0.0.1" -keyout "$dir/server.key" -out "$dir/server.crt" >/dev/null 2>&1 ||
    die "could not make the TLS certificate"
  chmod 600 "$dir/server.key"
  chmod 700 "$dir"
  if [ "$(id -u)" = 0 ]; then chown -R postgres:postgres "$dir"; fi

  as_owner "$PGBIN/initdb" -D "$dir/data" -U postgres -E UTF8 --locale=C --no-sync \
    --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; die "initdb failed"; }
  # The socket folder is private to the cluster's owner: trust there only.
  printf 'local all all trust\nhostssl all all 127.0.0.1/32 scram-sha-256\n' >"$dir/data/pg_hba.conf"

  # A port can be taken between the check and the bind: try a few.
  for attempt in $(seq 1 20); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_in_use "$port" && continue
    cat >"$dir/data/postgresql.auto.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir'
ssl = on
ssl_cert_file = '$dir/server.crt'
ssl_key_file = '$dir/server.key'
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    if [ "$(id -u)" = 0 ]; then chown postgres:postgres "$dir/data/postgresql.auto.conf"; fi
    if as_owner "$PGBIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 start >/dev/null 2>&1; then
      break
    fi
    if ! grep -q "could not bind\|Address already in use" "$dir/server.log" 2>/dev/null; then
      cat "$dir/server.log" >&2 || true
      die "the server did not start"
    fi
    port=""
  done
  [ -n "$port" ] || die "no free port found"

  password=$(openssl rand -hex 24)
  # CREATEROLE: the sign-in tests make roles whose passwords are tokens.
  local psql=(as_owner "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port")
  "${psql[@]}" -U postgres -d postgres >/dev/null <<EOF
CREATE ROLE $ROLE LOGIN CREATEROLE PASSWORD '$password';
CREATE DATABASE $DB OWNER $ROLE;
CREATE DATABASE "$REGISTRY_DB" OWNER $ROLE;
EOF
  # Full-text search folds accents with unaccent where it is installed: it
  # comes with the server package's contrib modules.
  if [ -f "$("$PGBIN/pg_config" --sharedir 2>/dev/null || echo /usr/share/postgresql/15)/extension/unaccent.control" ]; then
    "${psql[@]}" -U postgres -d "$DB" -c "CREATE EXTENSION IF NOT EXISTS unaccent" >/dev/null
  else
    echo "postgres.sh: the unaccent extension is not installed; search will not fold accents" >&2
  fi
  # The scripts are read by this shell: the postgres user may not reach the worktree.
  "${psql[@]}" -U "$ROLE" -d "$DB" -v table=sop_metadata <"$ROOT/sql/sop_metadata.sql" >/dev/null
  "${psql[@]}" -U "$ROLE" -d "$DB" -v table=testing_table_metadata <"$ROOT/sql/sop_metadata.sql" >/dev/null
  "${psql[@]}" -U "$ROLE" -d "$REGISTRY_DB" -v schema=ops -v table=kesto_prod <"$ROOT/sql/kesto_prod.sql" >/dev/null
  ready=1

  local name value
  for name in PGHOST PGPORT PGDATABASE PGUSER PGPASSWORD \
    TOLVANSTORE_HOST TOLVANSTORE_PORT TOLVANSTORE_NAME TOLVANSTORE_USER TOLVANSTORE_PASSWORD \
    TOLVANSTORE_SCHEMA TOLVANSTORE_TABLE; do
    case $name in
      PGHOST | TOLVANSTORE_HOST) value=127.0.0.1 ;;
      PGPORT | TOLVANSTORE_PORT) value=$port ;;
      PGDATABASE) value=$DB ;;
      TOLVANSTORE_NAME) value=$REGISTRY_DB ;;
      PGUSER | TOLVANSTORE_USER) value=$ROLE ;;
      PGPASSWORD | TOLVANSTORE_PASSWORD) value=$password ;;
      TOLVANSTORE_SCHEMA) value=ops ;;
      TOLVANSTORE_TABLE) value=kesto_prod ;;
    esac
    printf 'export %s=%q\n' "$name" "$value"
  done
  echo "postgres.sh: PostgreSQL ready on 127.0.0.1:$port (TLS), cluster in $dir" >&2
}

stop() {
  local state=$1 dir
  [ -f "$state/postgres.dir" ] || return 0
  dir=$(cat "$state/postgres.dir")
  # Only ever remove a folder this script made.
  case $dir in
    /tmp/kesto-pg.*) stop_cluster "$dir" ;;
    *) die "refusing to remove '$dir'" ;;
  esac
  rm -f "$state/postgres.dir"
}

[ $# -eq 2 ] || usage
case $1 in
  start) start "$2" ;;
  stop) stop "$2" ;;
  *) usage ;;
esac
