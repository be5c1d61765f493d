/* A frame-hook library for tests: remembers its arguments, paints nothing. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct HookContext {
  int argc;
  int frames;
};

int test_hook_configured = 0;
int test_hook_released = 0;
int test_hook_last_argc = 0;

int Configure(void** ctx, int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], "fail") == 0) return 1;
  struct HookContext* c = calloc(1, sizeof *c);
  if (!c) return 1;
  c->argc = argc;
  *ctx = c;
  test_hook_configured++;
  test_hook_last_argc = argc;
  return 0;
}

void Process(void* ctx, void* pict, int pix_fmt, int width, int height, int64_t pts) {
  (void)pict; (void)pix_fmt; (void)width; (void)height; (void)pts;
  if (ctx) ((struct HookContext*)ctx)->frames++;
}

void Release(void* ctx) {
  free(ctx);
  test_hook_released++;
}
