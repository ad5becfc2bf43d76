/* A scaling library with every entry point but the wrong major version. */
unsigned swscale_version(void) { return (7u << 16) | (1u << 8) | 100u; }
void sws_getContext(void) {}
void sws_getCachedContext(void) {}
void sws_freeContext(void) {}
void sws_scale(void) {}
void sws_get_class(void) {}
void sws_isSupportedInput(void) {}
void sws_isSupportedOutput(void) {}
