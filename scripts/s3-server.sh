#!/usr/bin/env bash
# A single-node Ceph cluster with an S3 gateway, for tests and for trying kestrel on object
# storage: one monitor, one manager, one OSD keeping its objects in memory, one RADOS Gateway
# on a loopback port. Everything (configuration, daemons' data, logs, sockets) lives under DIR,
# so several clusters can run side by side on one machine.
#
#   scripts/s3-server.sh start DIR   starts it and prints the shell lines to use it:
#                                    export KESTREL_REPOSITORY=s3:http://127.0.0.1:PORT/BUCKET/repo
#                                    export AWS_ACCESS_KEY_ID=... AWS_SECRET_ACCESS_KEY=...
#                                    (also kept in DIR/env)
#   scripts/s3-server.sh stop DIR    stops its daemons (the objects are gone with the OSD)
#   scripts/s3-server.sh kill-gateway DIR     kills the gateway at once (SIGKILL), as a crash would
#   scripts/s3-server.sh restart-gateway DIR  starts the gateway again on its port (the objects stay)
#
# The OSD holds at most KESTREL_S3_MEMORY bytes (4 GiB unless set) and loses them when it stops.
# The daemons listen on 127.0.0.1 only and share one keyring in DIR; the gateway checks S3
# signatures against the user it creates. Installs its packages when run as root.
set -euo pipefail

usage() { echo "usage: $0 start|stop|kill-gateway|restart-gateway DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
dir=$2

packages=(ceph-mon ceph-osd ceph-mgr radosgw curl)

install_packages() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to $2 seconds for command $1 (a string run by bash) to succeed.
wait_for() {
  local what=$1 limit=$2 i
  for ((i = 0; i < limit * 4; i++)); do
    if bash -c "$what" >/dev/null 2>&1; then return 0; fi
    sleep 0.25
  done
  return 1
}

fail() {
  echo "s3-server: $*" >&2
  echo "s3-server: logs are in $dir/log" >&2
  stop_daemons
  exit 1
}

stop_daemons() {
  local pidfile pid i
  # The gateway first, then the manager and the OSD, the monitor last.
  for name in client.rgw mgr.x osd.0 mon.a; do
    pidfile="$dir/run/$name.pid"
    [ -f "$pidfile" ] || continue
    pid=$(cat "$pidfile")
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for ((i = 0; i < 40; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.25
      done
      kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
  done
}

# The gateway's port, from the configuration.
gateway_port() {
  sed -n 's/^rgw frontends = .*endpoint=127\.0\.0\.1:\([0-9]*\).*$/\1/p' "$dir/ceph.conf"
}

start_gateway() {
  radosgw -c "$dir/ceph.conf" -n client.rgw || fail "the gateway did not start"
  wait_for "curl -s -o /dev/null http://127.0.0.1:$(gateway_port)/" 120 || fail "the gateway does not answer"
}

kill_gateway() {
  local pidfile="$dir/run/client.rgw.pid" pid i
  [ -f "$pidfile" ] || { echo "s3-server: no gateway runs in $dir" >&2; exit 1; }
  pid=$(cat "$pidfile")
  kill -9 "$pid" 2>/dev/null || true
  for ((i = 0; i < 40; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.25
  done
  rm -f "$pidfile"
}

start() {
  local began=$SECONDS
  install_packages
  if [ -f "$dir/run/mon.a.pid" ] && kill -0 "$(cat "$dir/run/mon.a.pid")" 2>/dev/null; then
    echo "s3-server: a cluster already runs in $dir (stop it first)" >&2
    exit 1
  fi
  rm -rf "$dir/mon" "$dir/osd" "$dir/mgr" "$dir/rgw" "$dir/run" "$dir/log" "$dir/env" "$dir/monmap" "$dir/keyring"
  mkdir -p "$dir/mon" "$dir/osd" "$dir/mgr" "$dir/run" "$dir/log"
  dir=$(cd "$dir" && pwd)

  local mon_port rgw_port fsid conf
  mon_port=$(free_port)
  rgw_port=$(free_port)
  fsid=$(cat /proc/sys/kernel/random/uuid)
  conf="$dir/ceph.conf"
  cat >"$conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
mon initial members = a
public addr = 127.0.0.1
ms bind msgr1 = false
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
auth allow insecure global id reclaim = false
run dir = $dir/run
pid file = $dir/run/\$name.pid
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
keyring = $dir/keyring
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
mon max pg per osd = 1000
mon warn on pool no redundancy = false

[mon]
mon data = $dir/mon/\$cluster-\$id

[mgr]
mgr data = $dir/mgr/\$cluster-\$id
mgr disabled modules = dashboard prometheus

[osd]
osd data = $dir/osd/\$cluster-\$id
osd objectstore = memstore
memstore device bytes = ${KESTREL_S3_MEMORY:-4294967296}
osd max object size = 134217728

[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port tcp_nodelay=1
rgw data = $dir/rgw
rgw dns name = localhost
rgw enable usage log = false
EOF
  # One keyring for every daemon and the admin: all run as this user from this directory.
  local kr="$dir/keyring"
  ceph-authtool --create-keyring "$kr" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool "$kr" --gen-key -n client.admin --cap mon 'allow *' --cap osd 'allow *' \
    --cap mgr 'allow *' --cap mds 'allow *' >/dev/null
  ceph-authtool "$kr" --gen-key -n mgr.x --cap mon 'allow profile mgr' --cap osd 'allow *' \
    --cap mds 'allow *' >/dev/null
  ceph-authtool "$kr" --gen-key -n osd.0 --cap mon 'allow profile osd' --cap mgr 'allow profile osd' \
    --cap osd 'allow *' >/dev/null
  ceph-authtool "$kr" --gen-key -n client.rgw --cap mon 'allow rw' --cap osd 'allow rwx' \
    --cap mgr 'allow rw' >/dev/null

  monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null
  ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$kr" >"$dir/log/mkfs.log" 2>&1 ||
    fail "the monitor's store could not be made"
  ceph-mon -c "$conf" -i a || fail "the monitor did not start"
  wait_for "ceph -c '$conf' --connect-timeout 5 mon stat" 60 || fail "the monitor does not answer"

  mkdir -p "$dir/mgr/ceph-x"
  ceph-mgr -c "$conf" -i x || fail "the manager did not start"

  local osd_uuid osd_id
  osd_uuid=$(cat /proc/sys/kernel/random/uuid)
  osd_id=$(ceph -c "$conf" osd new "$osd_uuid" 0) || fail "the OSD could not be registered"
  [ "$osd_id" = 0 ] || fail "unexpected OSD id $osd_id"
  mkdir -p "$dir/osd/ceph-0"
  ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$osd_uuid" >>"$dir/log/mkfs.log" 2>&1 ||
    fail "the OSD's store could not be made"
  ceph-osd -c "$conf" -i 0 2>>"$dir/log/osd.0.stderr" || fail "the OSD did not start"
  wait_for "ceph -c '$conf' osd dump | grep -q '^osd.0 up'" 60 || fail "the OSD did not come up"

  mkdir -p "$dir/rgw"
  start_gateway

  local access secret bucket
  access=$(head -c 15 /dev/urandom | od -An -tx1 | tr -d ' \n' | tr a-f A-F | cut -c1-20)
  secret=$(head -c 30 /dev/urandom | base64 | tr -d '/+=\n' | cut -c1-40)
  bucket=kestrel
  radosgw-admin -c "$conf" user create --uid=kestrel --display-name=kestrel \
    --access-key="$access" --secret-key="$secret" >"$dir/log/user.log" 2>&1 ||
    fail "the gateway's user could not be made"
  wait_for "curl -sf --aws-sigv4 aws:amz:us-east-1:s3 --user '$access:$secret' -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' -X PUT http://127.0.0.1:$rgw_port/$bucket" 30 ||
    fail "the bucket could not be made"

  cat >"$dir/env" <<EOF
export KESTREL_REPOSITORY=s3:http://127.0.0.1:$rgw_port/$bucket/repo
export AWS_ACCESS_KEY_ID=$access
export AWS_SECRET_ACCESS_KEY=$secret
export AWS_DEFAULT_REGION=us-east-1
EOF
  cat "$dir/env"
  echo "s3-server: started in $((SECONDS - began)) s" >&2
}

case $cmd in
  start) start ;;
  stop)
    [ -d "$dir" ] || { echo "s3-server: no cluster in $dir" >&2; exit 1; }
    dir=$(cd "$dir" && pwd)
    stop_daemons
    ;;
  kill-gateway | restart-gateway)
    [ -f "$dir/ceph.conf" ] || { echo "s3-server: no cluster in $dir" >&2; exit 1; }
    dir=$(cd "$dir" && pwd)
    if [ "$cmd" = kill-gateway ]; then
      kill_gateway
    else
      start_gateway
    fi
    ;;
  *) usage ;;
esac
