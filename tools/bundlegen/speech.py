"""The speech fixture: one espeak-ng sentence as 3 s of 16 kHz mono audio.

espeak-ng speaks the sentence, ffmpeg resamples it to 16 kHz mono 16-bit;
the speech (from its first audible sample) starts 0.2 s into the clip, which is
padded with digital silence (or cut) to exactly 48000 samples.  The float copy
holds sample / 32768, so the wav and the float file carry the same values.
"""
import os
import subprocess
import tempfile
import wave

import numpy as np

RATE = 16000
SAMPLES = 48000
LEAD = 3200           # 0.2 s of silence before the speech
AUDIBLE = 64          # |sample| above which the speech has begun
SENTENCE = "Hello, I am glad to see you here today."


def render(text=SENTENCE):
    """int16 [SAMPLES] of the spoken sentence."""
    with tempfile.TemporaryDirectory() as tmp:
        spoken = os.path.join(tmp, "spoken.wav")
        subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", spoken, text], check=True,
                       stdout=subprocess.DEVNULL)
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", spoken, "-ar", str(RATE), "-ac", "1",
                              "-f", "s16le", "-"], check=True, stdout=subprocess.PIPE).stdout
    pcm = np.frombuffer(raw, "<i2")
    audible = np.nonzero(np.abs(pcm.astype(np.int32)) > AUDIBLE)[0]
    if not audible.size:
        raise SystemExit("speech: espeak-ng produced no audible samples")
    speech = pcm[audible[0]:][:SAMPLES - LEAD]
    out = np.zeros(SAMPLES, np.int16)
    out[LEAD:LEAD + speech.size] = speech
    return out


def write(directory, name="speech_3s"):
    """Writes name.f32 (float32 samples) and name.wav (16-bit mono) into directory."""
    pcm = render()
    (pcm.astype(np.float32) / np.float32(32768.0)).astype("<f4").tofile(os.path.join(directory, f"{name}.f32"))
    with wave.open(os.path.join(directory, f"{name}.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.astype("<i2").tobytes())


if __name__ == "__main__":
    import sys
    if len(sys.argv) != 2:
        raise SystemExit("usage: speech.py OUT_DIR   (writes OUT_DIR/speech_3s.f32 and .wav)")
    os.makedirs(sys.argv[1], exist_ok=True)
    write(sys.argv[1])
