/* A frame-hook library that lacks its Process entry point. */
int Configure(void** ctx, int argc, char* argv[]) {
  (void)ctx; (void)argc; (void)argv;
  return 0;
}
