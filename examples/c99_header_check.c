/* SPDX-License-Identifier: BSD-2-Clause */
/* A plain C99 host: fills a record from a preset and checks it. Built with
 * -std=c99 -pedantic so that the public header stays valid C. */
#include <pcmpack.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "c99 host: %s\n", what);
        ++failures;
    }
}

int main(void) {
    pcm_a_settings settings;
    const char *name = pcmOutAudioDefaults(&settings, PCM_VIDEO_TYPE_DVD);
    expect(name != NULL && strcmp(name, "DVD, PCM Audio") == 0, "DVD preset name");
    expect(settings.audio_layer == PCM_LAYER_DVD_LPCM, "DVD preset layer");
    expect(pcmOutAudioChkSettings(NULL, &settings, PCM_VIDEO_TYPE_DVD, 48000, 0, 0) ==
               PCM_CHECK_OK,
           "DVD preset passes its own target");
    expect(pcmOutAudioCheckSettings(&settings, PCM_VIDEO_TYPE_DVD_VR, 96000) ==
               PCM_CHECK_DVDVR_SAMPLE_RATE,
           "DVD-VR refuses 96 kHz");
    expect(pcmOutAudioCheckSettings(NULL, 0, 48000) == PCM_CHECK_NULL_SETTINGS, "null record");
    expect(sizeof(aux_record) == 16, "aux_record is 16 bytes");
    if (failures == 0) printf("c99 host: header and presets OK\n");
    return failures == 0 ? 0 : 1;
}
