/* DPF's LV2 description generator, in a sanitizer build: it loads the
   plugin and exits at once, and what the loaded C++ runtime keeps for the
   process's life is no leak of ours. */
const char *__asan_default_options(void);
const char *__asan_default_options(void) { return "detect_leaks=0"; }
