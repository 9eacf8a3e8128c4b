#!/bin/bash
# run-beside-peer.sh EMULATOR PEER "PEER ARGUMENTS" PROGRAM [ARGS...]
# Runs PROGRAM with timer_peer (PEER) started beside it, for a build whose
# programs cannot start one another (an emulated 32-bit Wine process cannot).
# The peer waits until the program lets it go; PROGRAM's exit code is ours.
set -u
emulator=$1
peer=$2
peer_arguments=$3
shift 3
export VARNEX_PEER_BESIDE="$peer_arguments"
# shellcheck disable=SC2086 # the peer's arguments are words
"$emulator" "$peer" $peer_arguments &
peer_pid=$!
"$emulator" "$@"
status=$?
# A peer the program never let go would wait two minutes: end it.
for _ in $(seq 100); do
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$peer_pid" 2>/dev/null; then
    echo "the peer was never let go or did not end: stopped"
    kill "$peer_pid"
    status=1
fi
wait "$peer_pid" 2>/dev/null
exit $status
