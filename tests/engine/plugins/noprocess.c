/* A module that is no frame-hook plug-in: it lacks "Process". */
int Configure(void** ctx, int argc, char* argv[]) {
    (void)ctx;
    (void)argc;
    (void)argv;
    return 0;
}
