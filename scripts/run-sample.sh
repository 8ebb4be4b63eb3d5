#!/usr/bin/env bash
# Sets everything up, then masters the shipped voice sample into out/.
# Without a DeepFilterNet3 program the noise-reduction step passes the audio
# through; set DEEPFILTER to its path to use it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
mkdir -p out
status=0
./build/voxmender-audio-engine \
    --input sample/voice-sample.wav \
    --output out/voice-sample.wav \
    --ffmpeg-path "$(command -v ffmpeg)" \
    --deepfilter-path "${DEEPFILTER:-}" \
    --target-lufs -16 || status=$?
echo "run-sample: exit status $status"
exit "$status"
