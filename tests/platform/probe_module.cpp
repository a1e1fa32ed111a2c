// Loaded at run time by the module tests under a Windows-style name.
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

PROBE_EXPORT int ProbeCombine(int a, int b, int c, int d) {
  return ((a * 31 + b) * 31 + c) * 31 + d;
}

PROBE_EXPORT const char* ProbeName() { return "platformprobe"; }
