#!/usr/bin/env bash
# The shared library exports the pcmOutAudio functions and nothing else: no
# C++ runtime symbol, no internal helper.
set -euo pipefail
lib="$1"
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
expected=$(printf '%s\n' pcmOutAudioBurstFrame pcmOutAudioBurstWrite pcmOutAudioCheckFirst pcmOutAudioCheckNext pcmOutAudioCheckSettings \
  pcmOutAudioCheckText pcmOutAudioChkSettings pcmOutAudioChkSettingsWithHost \
  pcmOutAudioDefaults pcmOutAudioDone pcmOutAudioFrameGeometry pcmOutAudioFree \
  pcmOutAudioGetLastErrString pcmOutAudioInit pcmOutAudioInitWithSink pcmOutAudioNew pcmOutAudioNewWithHost \
  pcmOutAudioNextPreset pcmOutAudioPutBytes pcmOutAudioSetHdmvChannelAssignment \
  pcmOutAudioVersionNumber pcmOutAudioVersionString | sort)
if [[ "$symbols" != "$expected" ]]; then
  echo "exported symbols differ from the public interface:"
  diff <(echo "$expected") <(echo "$symbols") || true
  exit 1
fi
echo "exported symbols: the twenty-two pcmOutAudio functions only"
