/*
 * A minimal host: opens a bundle, pastes a solid-colour face crop into every
 * target frame of its driver video and writes the frames as PNG files.
 *
 *   paste_solid BUNDLE OUT_DIR [R G B]
 */
#include <stdio.h>
#include <stdlib.h>

#include <le/le.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 6) {
    fprintf(stderr, "usage: %s BUNDLE OUT_DIR [R G B]   (colour channels 0..1)\n", argv[0]);
    return 2;
  }
  const float colour[3] = {argc == 6 ? (float)atof(argv[3]) : 0.9f, argc == 6 ? (float)atof(argv[4]) : 0.2f,
                           argc == 6 ? (float)atof(argv[5]) : 0.6f};

  le_ctx* ctx = le_create(argv[1], "render", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "cannot open %s: %s\n", argv[1], le_last_error());
    return 1;
  }
  const int w = le_width(ctx), h = le_height(ctx), side = le_crop(ctx), nt = le_nt(ctx);
  const size_t plane = (size_t)side * side, frameBytes = (size_t)w * h * 3;
  float* crop = malloc(3 * plane * sizeof *crop);
  unsigned char* frame = malloc(frameBytes);
  int status = 0;
  if (!crop || !frame) {
    fprintf(stderr, "out of memory\n");
    status = 1;
  }
  for (size_t c = 0; c < 3 && !status; ++c)
    for (size_t i = 0; i < plane; ++i) crop[c * plane + i] = colour[c];

  for (int si = 0; si < nt && !status; ++si) {
    if (!le_paste_crop(ctx, si, crop, frame, frameBytes)) {
      fprintf(stderr, "frame %d: %s\n", si, le_last_error());
      status = 1;
      break;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/frame_%04d.png", argv[2], si);
    if (!stbi_write_png(path, w, h, 3, frame, w * 3)) {
      fprintf(stderr, "cannot write %s\n", path);
      status = 1;
    }
  }
  if (!status) printf("wrote %d frames of %dx%d to %s\n", nt, w, h, argv[2]);
  free(frame);
  free(crop);
  le_destroy(ctx);
  return status;
}
