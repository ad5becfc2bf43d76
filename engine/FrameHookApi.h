/* The interface of frame-hook plug-ins: shared objects that export these
 * three functions (C linkage) and are loaded with the "vhook" option. The
 * picture's planes may be changed in place. */
#ifndef ZC_FRAME_HOOK_API_H
#define ZC_FRAME_HOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZcHookPicture {
    uint8_t* data[4];
    int linesize[4];
} ZcHookPicture;

/* Called once per chain entry with the module path and its arguments
 * (argv[0] is the path); non-zero refuses the configuration. */
typedef int (*ZcHookConfigure)(void** ctx, int argc, char* argv[]);
/* Called for every decoded picture; pix_fmt is the library's pixel format
 * number, pts in microseconds. */
typedef void (*ZcHookProcess)(void* ctx, ZcHookPicture* picture, int pix_fmt, int width, int height, int64_t pts);
/* Called once at the end of the conversion. */
typedef void (*ZcHookRelease)(void* ctx);

#ifdef __cplusplus
}
#endif

#endif
