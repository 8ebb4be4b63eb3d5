#!/usr/bin/env bash
# Regenerates sample/voice-sample.wav: synthesised speech with room noise and
# 50 Hz mains hum, the kind of take the program is meant to clean up.
# Needs espeak-ng and sox (apt-get install espeak-ng sox; brew install espeak-ng sox on macOS).
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

espeak-ng -v en-us -s 150 -w "$work/speech.wav" \
    "Welcome back to the show. Today: clean voice at home."
sox "$work/speech.wav" -r 44100 -c 1 -b 16 "$work/voice.wav" gain -n -6
len=$(soxi -D "$work/voice.wav")
sox -n -r 44100 -c 1 -b 16 "$work/noise.wav" synth "$len" pinknoise gain -42
sox -n -r 44100 -c 1 -b 16 "$work/hum.wav" synth "$len" sine 50 sine 100 sine 150 remix - gain -36
mkdir -p sample
sox -m "$work/voice.wav" "$work/noise.wav" "$work/hum.wav" sample/voice-sample.wav
soxi sample/voice-sample.wav
