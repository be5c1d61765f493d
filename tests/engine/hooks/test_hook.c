/* A frame-hook library for tests: remembers its arguments, paints nothing. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct HookContext {
  int argc;
  int frames;
  int paint;
};

/* The planes as the engine hands them over. */
struct Picture {
  uint8_t* data[4];
  int linesize[4];
};

int test_hook_configured = 0;
int test_hook_released = 0;
int test_hook_last_argc = 0;

int Configure(void** ctx, int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], "fail") == 0) return 1;
  struct HookContext* c = calloc(1, sizeof *c);
  if (!c) return 1;
  c->argc = argc;
  c->paint = argc > 1 && strcmp(argv[1], "paint") == 0;
  *ctx = c;
  test_hook_configured++;
  test_hook_last_argc = argc;
  return 0;
}

/* With "paint", a white 32x32 square at (16,16) of the first (luma) plane. */
void Process(void* ctx, void* pict, int pix_fmt, int width, int height, int64_t pts) {
  struct HookContext* c = ctx;
  struct Picture* p = pict;
  (void)pix_fmt; (void)pts;
  if (!c) return;
  c->frames++;
  if (!c->paint || width < 48 || height < 48) return;
  for (int y = 16; y < 48; y++) memset(p->data[0] + (ptrdiff_t)y * p->linesize[0] + 16, 235, 32);
}

void Release(void* ctx) {
  free(ctx);
  test_hook_released++;
}
