/* A frame-hook plug-in for the tests: inverts the luma plane. */
#include "engine/FrameHookApi.h"

#include <stdlib.h>

typedef struct {
    int calls;
} Inverter;

int Configure(void** ctx, int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    *ctx = calloc(1, sizeof(Inverter));
    return *ctx ? 0 : -1;
}

void Process(void* ctx, ZcHookPicture* picture, int pix_fmt, int width, int height, int64_t pts) {
    (void)pix_fmt;
    (void)pts;
    ((Inverter*)ctx)->calls++;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->data[0] + y * picture->linesize[0];
        for (int x = 0; x < width; ++x) row[x] = (uint8_t)(255 - row[x]);
    }
}

void Release(void* ctx) { free(ctx); }
