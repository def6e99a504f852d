/*
 * A real-time host: opens a bundle and its utterance pipeline, plays speech
 * from a 16 kHz mono 16-bit WAV file in 20 ms pieces at wall-clock pace,
 * pulls a frame every 40 ms, and writes every speech frame's mouth line
 * to standard output ("frame SERIAL KIND TARGET FRAME_NO"), with a PNG of
 * the middle speech frame.
 *
 *   talk BUNDLE SPEECH.wav OUT.png
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <le/le.h>
#include <le/le_utt.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

enum { kRate = 16000, kPiece = kRate / 50 };

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static void sleep_until(double ms) {
  const double left = ms - now_ms();
  if (left <= 0) return;
  struct timespec t = {(time_t)(left / 1e3), (long)((left - (time_t)(left / 1e3) * 1e3) * 1e6)};
  nanosleep(&t, NULL);
}

/* The samples of a canonical PCM WAV file: 16 kHz, mono, 16-bit. */
static int16_t* read_wav(const char* path, int* count) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  unsigned char head[12], chunk[8];
  int16_t* pcm = NULL;
  int ok = fread(head, 1, 12, f) == 12 && !memcmp(head, "RIFF", 4) && !memcmp(head + 8, "WAVE", 4);
  while (ok && fread(chunk, 1, 8, f) == 8) {
    const unsigned size = chunk[4] | chunk[5] << 8 | chunk[6] << 16 | (unsigned)chunk[7] << 24;
    if (!memcmp(chunk, "fmt ", 4)) {
      unsigned char fmt[16];
      ok = size >= 16 && fread(fmt, 1, 16, f) == 16 && fmt[0] == 1 && fmt[2] == 1 &&
           (fmt[4] | fmt[5] << 8 | fmt[6] << 16) == kRate && fmt[14] == 16 && fseek(f, size - 16, SEEK_CUR) == 0;
    } else if (!memcmp(chunk, "data", 4)) {
      pcm = malloc(size);
      *count = pcm && fread(pcm, 1, size, f) == size ? (int)(size / 2) : 0;
      break;
    } else {
      ok = fseek(f, size + (size & 1), SEEK_CUR) == 0;
    }
  }
  fclose(f);
  if (pcm && *count > 0) return pcm;
  free(pcm);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s BUNDLE SPEECH.wav OUT.png   (16 kHz mono 16-bit WAV)\n", argv[0]);
    return 2;
  }
  int n = 0;
  int16_t* pcm = read_wav(argv[2], &n);
  if (!pcm) {
    fprintf(stderr, "%s: not a 16 kHz mono 16-bit WAV file\n", argv[2]);
    return 1;
  }
  le_ctx* ctx = le_create(argv[1], "render", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], le_last_error());
    return 1;
  }
  le_utt* u = le_utt_open(ctx, argv[1]);
  if (!u) {
    fprintf(stderr, "%s\n", le_utt_last_error());
    return 1;
  }
  int ready;
  while ((ready = le_utt_ready(u)) == 0) sleep_until(now_ms() + 5);
  if (ready < 0) {
    fprintf(stderr, "audio model: %s\n", le_utt_last_error());
    return 1;
  }

  const size_t bytes = (size_t)le_width(ctx) * le_height(ctx) * 3;
  unsigned char* frame = malloc(bytes);
  const int speech = (n + 639) / 640, middle = speech / 2;
  int pushed = 0, spoken = 0, after = 0, late = 0, status = 0;
  const double start = now_ms();
  /* Every 20 ms a piece of speech, every other tick a frame, until one
   * second of frames after the last speech frame (or ten minutes). */
  for (int tick = 0; frame && tick < 30000; ++tick) {
    sleep_until(start + 20.0 * tick);
    if (pushed < n) {
      const int piece = n - pushed < kPiece ? n - pushed : kPiece;
      le_utt_push_audio(u, pcm + pushed, piece);
      if ((pushed += piece) == n) le_utt_end_utterance(u);
    }
    if (tick % 2) continue;
    le_utt_frame_info info;
    if (!le_utt_pull_frame(u, frame, bytes, &info)) {
      late += spoken > 0 && spoken < speech;
      continue;
    }
    if (info.kind == 1) {
      printf("frame %llu %d %d %d\n", (unsigned long long)info.serial, info.kind, info.target, info.frame_no);
      if (info.frame_no == middle &&
          !stbi_write_png(argv[3], le_width(ctx), le_height(ctx), 3, frame, le_width(ctx) * 3)) {
        fprintf(stderr, "cannot write %s\n", argv[3]);
        status = 1;
      }
      ++spoken;
    } else if (spoken == speech && ++after == 25) {
      break;
    }
  }
  le_utt_stats st;
  le_utt_get_stats(u, &st);
  fprintf(stderr, "%d of %d speech frames, first after %.0f ms, %d ticks without a frame during speech\n", spoken,
          speech, st.first_frame_ms, late);
  if (spoken != speech) status = 1;
  le_utt_destroy(u);
  le_destroy(ctx);
  free(frame);
  free(pcm);
  return status;
}
