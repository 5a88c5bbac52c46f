// LeakSanitizer suppressions for the window tests (asan preset): the system's fontconfig, which
// Qt's font database loads on the offscreen platform, keeps a few blocks it never frees. Only
// leaks whose stack passes through these libraries are ignored. Without sanitizers this is an
// unused function.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
