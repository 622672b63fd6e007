/* The thread-local storage directory of tractwave.dll.

   The DLL is linked without the C runtime's startup files, so that loading
   and unloading it runs no code at all (its entry point is 0). Those files
   normally bring the TLS directory too, together with callbacks that set up
   the runtime's own thread bookkeeping. This one has no callbacks: the
   loader copies the template between _tls_start and _tls_end into every
   thread's block, and that copy is the thread's initial record.

   The compiler places thread_local data in ".tls$"; the linker sorts ".tls"
   before it and ".tls$ZZZ" after it, and addresses the data relative to the
   start of the merged section, so the template must begin exactly there. */
#include <stdint.h>

__attribute__((section(".tls"))) char _tls_start = 0;
__attribute__((section(".tls$ZZZ"))) char _tls_end = 0;

/* Written by the loader: this module's slot in each thread's TLS array. */
uint32_t _tls_index = 0;

typedef void (*tls_callback)(void *module, uint32_t reason, void *reserved);
static const tls_callback no_callbacks[1] = {0};

/* IMAGE_TLS_DIRECTORY64; the linker points the image's TLS entry at the
   symbol of this name. */
struct tls_directory {
  uint64_t start_of_raw_data;
  uint64_t end_of_raw_data;
  uint64_t address_of_index;
  uint64_t address_of_callbacks;
  uint32_t size_of_zero_fill;
  uint32_t characteristics;
};

const struct tls_directory _tls_used = {(uint64_t)(uintptr_t)&_tls_start,
                                        (uint64_t)(uintptr_t)&_tls_end,
                                        (uint64_t)(uintptr_t)&_tls_index,
                                        (uint64_t)(uintptr_t)no_callbacks,
                                        0,
                                        0};
