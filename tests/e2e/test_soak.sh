#!/usr/bin/env bash
# The soak for one minute: the real viewer connected, recording, disconnected and unplugged over and
# over against a faulty stream, with the decoder's counters checked beside it (scripts/soak.sh).
# Usage: test_soak.sh BUILD_DIR SOURCE_DIR
exec bash "$2/scripts/soak.sh" 60 "$1"
