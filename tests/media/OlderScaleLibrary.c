/* A library with the scaler's entry points that reports the major version before
   the one the program was built against. Only the version function is ever called;
   the others exist so that binding succeeds and the version check is reached. */
#include <libswscale/version.h>

unsigned swscale_version(void) { return AV_VERSION_INT(LIBSWSCALE_VERSION_MAJOR - 1, 0, 0); }
void sws_getContext(void) {}
void sws_getCachedContext(void) {}
void sws_scale(void) {}
void sws_freeContext(void) {}
