#!/usr/bin/python3
# SPDX-License-Identifier: BSD-2-Clause
"""What the tool's conversions do to audio, measured like an audio engineer
measures it: the built pcmpack encodes test signals this script makes, unpacks
them again, and numpy's FFT looks at the result.

Run as: audio_quality_test.py PCMPACK_BINARY
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

PCMPACK = None


# --- WAV files ---------------------------------------------------------------

def write_wav(path, samples, rate, bits, mask=None):
    """samples: array (periods, channels), integers of `bits` bits, or floats
    (written as 32-bit floating point). `mask` writes WAVEFORMATEXTENSIBLE
    with that channel mask."""
    periods, channels = samples.shape
    if samples.dtype.kind == 'f':
        data, width, tag, bits = samples.astype('<f4').tobytes(), 4, 3, 32
    else:
        width, tag = (bits + 7) // 8, 1
        # Left-justify into the container word, then keep its top bytes.
        words = (samples.astype(np.int64) << (8 * width - bits)).astype('<i4')
        data = words.view(np.uint8).reshape(periods, channels, 4)[:, :, :width].tobytes()
    if mask is None:
        fmt = struct.pack('<HHIIHH', tag, channels, rate, rate * channels * width,
                          channels * width, width * 8)
    else:
        guid_tail = b'\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71'
        fmt = struct.pack('<HHIIHHHHI', 0xFFFE, channels, rate, rate * channels * width,
                          channels * width, width * 8, 22, bits, mask)
        fmt += struct.pack('<H', tag) + guid_tail
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt
    body += b'data' + struct.pack('<I', len(data)) + data
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', len(body)) + body)


def read_wav(path):
    """Returns (rate, bits, mask or None, samples as int64 array (periods, channels))."""
    with open(path, 'rb') as f:
        raw = f.read()
    assert raw[:4] == b'RIFF' and raw[8:12] == b'WAVE', path
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(raw):
        cid, size = raw[pos:pos + 4], struct.unpack('<I', raw[pos + 4:pos + 8])[0]
        if cid == b'fmt ':
            fmt = raw[pos + 8:pos + 8 + size]
        elif cid == b'data':
            data = raw[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    tag, channels, rate, _, block, bits = struct.unpack('<HHIIHH', fmt[:16])
    mask = struct.unpack('<I', fmt[20:24])[0] if tag == 0xFFFE else None
    width = block // channels
    data = data[:len(data) // block * block]  # a cut last period is dropped
    b = np.frombuffer(data, dtype=np.uint8).reshape(-1, channels, width)
    words = np.zeros(b.shape[:2], dtype=np.int64)
    for i in range(width):
        words |= b[:, :, i].astype(np.int64) << (8 * i)
    words -= (words >> (8 * width - 1)) << (8 * width)  # sign
    return rate, bits, mask, words


def sine(freq, rate, periods, level_db, bits, phase=0.0, dither_seed=None):
    """A sine at `level_db` dBFS as integer words of `bits` bits; with a seed,
    the words carry TPDF dither, so the test signal itself has no distortion
    products."""
    t = np.arange(periods)
    x = 10 ** (level_db / 20) * np.sin(2 * np.pi * freq * t / rate + phase)
    scaled = x * 2.0 ** (bits - 1)
    if dither_seed is not None:
        rng = np.random.default_rng(dither_seed)
        scaled += rng.random(periods) - rng.random(periods)
    return np.clip(np.floor(scaled + 0.5), -2 ** (bits - 1), 2 ** (bits - 1) - 1).astype(np.int64)


# --- spectra -------------------------------------------------------------------

def spectrum_db(x, full_scale):
    """Power spectrum of one long Kaiser window (stop band far below 24-bit
    audio's noise), in dB relative to a full-scale sine."""
    n = len(x)
    window = np.kaiser(n, 38.0)
    spectrum = np.abs(np.fft.rfft(x / full_scale * window)) ** 2
    return 10 * np.log10(spectrum / (np.sum(window) / 2) ** 2 + 1e-300)


def averaged_power(x, segment=8192):
    """Welch average of Hann-windowed, half-overlapping segments: a noise
    floor estimate with a spread of a fraction of a dB per bin."""
    window = np.hanning(segment)
    hop = segment // 2
    total = np.zeros(segment // 2 + 1)
    count = 0
    for start in range(0, len(x) - segment + 1, hop):
        total += np.abs(np.fft.rfft(x[start:start + segment] * window)) ** 2
        count += 1
    return total / count


# --- running the tool ----------------------------------------------------------

class ToolCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='pcmpack-quality-')

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_tool(self, *args, status=0):
        # A test's subcases reuse its folder's names: each run replaces them.
        if args[0] in ('encode', 'unpack', 'tone'):
            args = (args[0], '-y', *args[1:])
        r = subprocess.run([PCMPACK, *args], cwd=self.dir, capture_output=True, text=True)
        self.assertEqual(r.returncode, status, f'pcmpack {" ".join(args)}:\n{r.stderr}')
        return r

    def round_trip(self, samples, rate, bits, encode_args, mask=None, output='out.es'):
        write_wav(self.path('in.wav'), samples, rate, bits, mask)
        enc = self.run_tool('encode', 'in.wav', '-o', output, *encode_args)
        self.run_tool('unpack', output, '-o', 'back.wav')
        return enc, read_wav(self.path('back.wav'))


class Resampling(ToolCase):
    def test_997_hz_comes_out_at_997_hz_with_every_spur_120_db_down(self):
        rate, out_rate, n = 44100, 48000, 65536
        periods = n * rate // out_rate + 4000
        tone = sine(997.0, rate, periods, -1.0, 24, dither_seed=1)
        _, (back_rate, bits, _, back) = self.round_trip(
            np.stack([tone, tone], axis=1), rate, 24,
            ['--target', 'hdmv', '--resample', str(out_rate)])
        self.assertEqual((back_rate, bits), (out_rate, 24))
        # Skip the start, where the filter settles on the signal's onset.
        x = back[2048:2048 + n, 0].astype(np.float64)
        db = spectrum_db(x, 2.0 ** 23)
        peak = int(np.argmax(db))
        # Parabolic interpolation of the peak in dB gives the frequency to a
        # small fraction of a bin.
        a, b, c = db[peak - 1], db[peak], db[peak + 1]
        freq = (peak + 0.5 * (a - c) / (a - 2 * b + c)) * out_rate / n
        self.assertAlmostEqual(freq, 997.0, delta=0.02)
        self.assertAlmostEqual(b, -1.0, delta=0.25)
        # Everything outside the main lobe of the window is spurious.
        lobe = 40
        spurs = np.concatenate([db[1:peak - lobe], db[peak + lobe:]])
        worst = int(np.argmax(spurs))
        self.assertLess(spurs[worst] - b, -120.0,
                        f'spur at bin {worst} is {spurs[worst] - b:.1f} dB from the tone')

    def test_length_follows_the_exact_ratio_within_one_sample_period(self):
        cases = [(44100, 48000, 44100 + 12345), (44100, 96000, 30011),
                 (88200, 48000, 88200 + 7), (32000, 48000, 32000 * 2 + 1)]
        for rate, out_rate, periods in cases:
            with self.subTest(rate=rate, out_rate=out_rate, periods=periods):
                # Full-scale square-ish content never lands on 0 by chance.
                tone = sine(1000.0, rate, periods, -3.0, 24, dither_seed=2)
                tone[tone == 0] = 1
                _, (back_rate, _, _, back) = self.round_trip(
                    tone.reshape(-1, 1).repeat(2, axis=1), rate, 24,
                    ['--target', 'hdmv', '--resample', str(out_rate)])
                self.assertEqual(back_rate, out_rate)
                # The last frame is padded with silence after the audio.
                audible = np.nonzero(back[:, 0])[0]
                length = audible[-1] + 1
                exact = periods * out_rate / rate
                self.assertLessEqual(abs(length - exact), 1.0, f'{length} vs {exact}')
                ins = self.run_tool('inspect', 'out.es', '--json').stdout
                self.assertIn(f'"sample_rate":{out_rate}', ins)


class WordLength(ToolCase):
    def harmonics_above_floor(self, dither, rate=48000, extra=(), output='out.es'):
        """Reduces a -60 dBFS 997 Hz sine from 24 to 16 bits for DVD (at
        `rate`, converted to 48 kHz by `extra` options), returns how far each
        of harmonics 2 to 9 stands above the noise floor around it, in dB."""
        periods = rate * 8
        tone = sine(997.0, rate, periods, -60.0, 24, dither_seed=3)
        _, (back_rate, bits, _, back) = self.round_trip(
            np.stack([tone, tone], axis=1), rate, 24,
            ['--target', 'dvd', '--bits', '16', '--dither', dither, *extra], output=output)
        self.assertEqual(back_rate, 48000)
        rate, periods = 48000, 48000 * 8
        self.assertEqual(bits, 16)
        power = averaged_power(back[:periods, 0].astype(np.float64))
        segment = 8192
        bin_hz = rate / segment
        rises = []
        for k in range(2, 10):
            centre = int(round(997.0 * k / bin_hz))
            line = power[centre - 3:centre + 4].sum()
            # The floor: the same width of spectrum on both sides, clear of
            # the harmonic's own leakage.
            floor = np.median(np.concatenate([power[centre - 60:centre - 10],
                                              power[centre + 10:centre + 60]])) * 7
            rises.append(10 * np.log10(line / floor))
        return rises

    def test_tpdf_dither_leaves_no_harmonic_while_truncation_does(self):
        dithered = self.harmonics_above_floor('tpdf')
        truncated = self.harmonics_above_floor('none')
        self.assertLess(max(dithered), 3.0, f'TPDF: {np.round(dithered, 1)}')
        self.assertGreater(max(truncated), 3.0, f'truncation: {np.round(truncated, 1)}')

    def test_a_44100_hz_24_bit_master_packed_for_dvd_keeps_no_harmonic(self):
        # pcmpack encode music44.wav -o music.vob --target dvd --resample 48000 --bits 16
        rises = self.harmonics_above_floor('tpdf', 44100, ['--resample', '48000'], 'music.vob')
        self.assertLess(max(rises), 3.0, f'{np.round(rises, 1)}')


# WAV channel-mask bits in the order a file holds its channels.
MASK_SPEAKERS = ['FL', 'FR', 'FC', 'LFE', 'BL', 'BR', 'FLC', 'FRC', 'BC', 'SL', 'SR']


def speakers_of_mask(mask):
    return [name for bit, name in enumerate(MASK_SPEAKERS) if mask >> bit & 1]


def surround(speakers):
    """A 3/2 layout has one pair of surrounds, labelled side or back."""
    if len([s for s in speakers if s != 'pad']) in (5, 6):
        return [{'BL': 'SL', 'BR': 'SR'}.get(s, s) for s in speakers]
    return speakers


# What a reader without a channel mask (mkvmerge's Matroska track) means by
# n channels: the usual WAV layout of that many.
DEFAULT_MASK = {1: 0x4, 2: 0x3, 3: 0x7, 5: 0x37, 6: 0x3F, 7: 0x637, 8: 0x63F}

# The coded order of the library's padded layouts, which unpack keeps;
# 'pad' is the silent padding channel.
CODED_ORDER = {
    2: ['FL', 'FR'], 3: ['FL', 'FR', 'FC', 'pad'], 5: ['FL', 'FR', 'FC', 'SL', 'SR', 'pad'],
    7: ['FL', 'FR', 'FC', 'SL', 'BL', 'BR', 'SR', 'pad'],
}


class ChannelLayouts(ToolCase):
    # (name, source channel mask, encode options, channel assignment code)
    CASES = [
        ('mono', 0x4, [], 1),
        ('2.0', 0x3, [], 3),
        ('3/0', 0x7, [], 4),
        ('3/2 back', 0x37, [], 8),
        ('5.1 back', 0x3F, [], 9),
        ('5.1 side', 0x60F, [], 9),
        ('3/4', 0x637, [], 10),
        ('7.1', 0x63F, [], 11),
        # Without a channel mask the layout named takes the channels in the
        # order a WAV file holds them.
        ('mono unmasked', None, ['--hdmv-layout', 'mono'], 1),
        ('5.1 unmasked', None, ['--hdmv-layout', '5.1'], 9),
        ('7.1 unmasked', None, ['--hdmv-layout', '7.1'], 11),
    ]

    def tones(self, channels):
        return [400.0 + 300.0 * k for k in range(channels)]

    def who(self, samples, freqs, rate):
        """The tone each channel carries, as the index of its frequency;
        None for a silent channel."""
        found = []
        for ch in range(samples.shape[1]):
            x = samples[:rate, ch].astype(np.float64)
            spectrum = np.abs(np.fft.rfft(x))
            if spectrum.max() < 1e-3 * 2 ** 23 * rate / 8:
                found.append(None)
                continue
            freq = np.argmax(spectrum) * rate / len(x)
            self.assertIn(freq, freqs, f'channel {ch} carries {freq} Hz')
            found.append(freqs.index(freq))
        return found

    def test_every_speaker_reaches_its_place_in_ffmpeg_mkvmerge_and_unpack(self):
        rate = 48000
        for name, mask, args, code in self.CASES:
            with self.subTest(layout=name):
                speakers = speakers_of_mask(mask if mask else DEFAULT_MASK[
                    {1: 1, 9: 6, 11: 8}[code]])
                freqs = self.tones(len(speakers))
                t = np.arange(rate * 3 // 2)
                signal = np.stack([np.round(2 ** 21 * np.sin(2 * np.pi * f * t / rate))
                                   for f in freqs], axis=1).astype(np.int64)
                write_wav(self.path('in.wav'), signal, rate, 24, mask)
                self.run_tool('encode', 'in.wav', '-o', 'out.hdmv', '--target', 'hdmv', *args)
                with open(self.path('out.hdmv'), 'rb') as f:
                    stream = f.read()
                self.assertEqual(stream[8 + 2] >> 4, code)  # first frame header
                layout = {1: 'mono', 3: '2.0', 4: '3/0', 8: '3/2', 9: '5.1', 10: '3/4',
                          11: '7.1'}[code]
                self.assertIn(f'"layout":"{layout}","channel_assignment":{code}',
                              self.run_tool('inspect', 'out.hdmv', '--json').stdout)
                # The same frames in the M2TS file a disc carries.
                self.run_tool('encode', 'in.wav', '-o', 'out.m2ts', '--target', 'hdmv', *args)

                # libavcodec, through ffmpeg: the WAV it writes names its
                # channels' positions in its mask.
                subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', 'out.m2ts', '-f', 'wav',
                                'ffmpeg.wav'], cwd=self.dir, check=True)
                _, _, ff_mask, ff = read_wav(self.path('ffmpeg.wav'))
                ff_speakers = speakers_of_mask(ff_mask if ff_mask else DEFAULT_MASK[ff.shape[1]])
                found = self.who(ff, freqs, rate)
                self.assertEqual(surround(ff_speakers), [surround(speakers)[k] for k in found],
                                 f'ffmpeg: tones {found}')

                # mkvmerge: its Matroska track holds the channels in the
                # usual WAV order of their count.
                subprocess.run(['mkvmerge', '-q', '-o', 'out.mkv', 'out.m2ts'], cwd=self.dir,
                               check=True)
                subprocess.run(['mkvextract', '-q', 'out.mkv', 'tracks', '0:mkv.wav'],
                               cwd=self.dir, check=True)
                _, _, _, mk = read_wav(self.path('mkv.wav'))
                mk_speakers = speakers_of_mask(DEFAULT_MASK[mk.shape[1]])
                found = self.who(mk, freqs, rate)
                self.assertEqual(surround(mk_speakers), [surround(speakers)[k] for k in found],
                                 f'mkvmerge: tones {found}')

                # unpack: mono, 5.1 and 7.1 come back as the source, with a
                # mask; the library's layouts in coded order with padding.
                self.run_tool('unpack', 'out.hdmv', '-o', 'back.wav')
                _, _, back_mask, back = read_wav(self.path('back.wav'))
                found = self.who(back, freqs, rate)
                if code in (1, 9, 11):
                    self.assertEqual(found, list(range(len(speakers))))
                    if len(speakers) > 2:
                        self.assertEqual(surround(speakers_of_mask(back_mask)), surround(speakers))
                else:
                    expected = [None if s == 'pad' else surround(speakers).index(s)
                                for s in surround(CODED_ORDER[len(speakers)])]
                    self.assertEqual(found, expected)

    # (source channel mask, channels, encode options, message)
    REFUSALS = [
        (0x70F, 7, [], 'in.wav: 7 channels FL FR FC LFE BC SL SR: HDMV LPCM has no layout for them'),
        (0x3F, 6, ['--hdmv-layout', 'library'],
         'in.wav: 6 channels FL FR FC LFE BL BR: --hdmv-layout library writes only 2.0, 3/0, '
         '3/2, 3/4, none of which carries them (--hdmv-layout auto packs them as 5.1)'),
        (0x3, 6, [], 'in.wav: the channel mask gives positions to 2 of 6 channels (FL FR ? ? ? ?)'),
        (0x40000, 2, [], 'in.wav: the channel mask gives positions to 0 of 2 channels'),
        (0x63F, 8, ['--hdmv-layout', '5.1'], '--hdmv-layout 5.1 takes 6 channels; in.wav has 8'),
        (0xFF, 8, ['--hdmv-layout', '7.1'],
         'in.wav: its channel mask says FL FR FC LFE BL BR FLC FRC; --hdmv-layout 7.1 needs '
         'FL FR FC LFE BL BR SL SR'),
        (0x3F, 6, ['--hdmv-layout', '5.1', '--hdmv-pad-last'],
         '--hdmv-pad-last packs the library\'s layouts as they are'),
        (None, 2, ['--hdmv-layout', 'mono'], '--hdmv-layout mono takes 1 channel; in.wav has 2'),
        (0x4, 1, ['--target', 'dvd', '--hdmv-layout', 'mono'],
         '--hdmv-layout mono applies to HDMV LPCM only'),
    ]

    def test_layouts_hdmv_cannot_carry_are_refused_with_the_reason(self):
        for mask, channels, args, message in self.REFUSALS:
            with self.subTest(mask=mask, args=args):
                write_wav(self.path('in.wav'), np.ones((480, channels), dtype=np.int64), 48000,
                          16, mask)
                target = [] if '--target' in args else ['--target', 'hdmv']
                r = self.run_tool('encode', 'in.wav', '-o', 'out.es', *target, *args, status=1)
                self.assertIn(message, r.stderr)
                self.assertTrue(r.stderr.startswith('pcmpack: '), r.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ['in.wav'])
        # --channel-order keep takes an unreadable mask's channels as given.
        write_wav(self.path('in.wav'), np.ones((480, 2), dtype=np.int64), 48000, 16, 0x40000)
        self.run_tool('encode', 'in.wav', '-o', 'out.es', '--target', 'hdmv',
                      '--channel-order', 'keep')

    def test_a_frame_that_changes_the_assignment_is_refused(self):
        write_wav(self.path('in.wav'), np.ones((960, 6), dtype=np.int64), 48000, 16, 0x3F)
        self.run_tool('encode', 'in.wav', '-o', 'out.hdmv', '--target', 'hdmv')
        with open(self.path('out.hdmv'), 'rb') as f:
            stream = bytearray(f.read())
        frame = 4 + 240 * 6 * 2
        self.assertEqual([stream[8 + k * frame + 2] for k in range(4)], [0x91] * 4)
        stream[8 + 2 * frame + 2] = 0x81  # the third frame says 3/2
        with open(self.path('bad.hdmv'), 'wb') as f:
            f.write(stream)
        r = self.run_tool('inspect', 'bad.hdmv', status=1)
        self.assertIn(f'bad.hdmv: byte {8 + 2 * frame + 2}: HDMV frame header channel '
                      'assignment 8, the first frame has 9', r.stderr)
        self.run_tool('unpack', 'bad.hdmv', '-o', 'back.wav', status=1)
        self.assertFalse(os.path.exists(self.path('back.wav')))


if __name__ == '__main__':
    PCMPACK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
