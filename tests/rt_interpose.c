/* Interposed allocator and mutex functions for the real-time tests. Defined
   in the executable, they come first in symbol lookup, so a call from the
   library (or from anything it calls) lands here before reaching libc. Each
   thread counts only while a test has switched counting on, so the test
   framework's own allocations never count. glibc only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
#include <time.h>

#include "rt_interpose.h"

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);

static _Thread_local int counting;
static _Thread_local struct rt_calls calls;

void rt_count(int on) { counting = on; }

struct rt_calls rt_calls_so_far(void) {
  return calls;
}

void rt_reset(void) {
  struct rt_calls none = {0, 0};
  calls = none;
}

static void note_allocator(void) {
  if (counting)
    ++calls.allocator;
}

static void note_mutex(void) {
  if (counting)
    ++calls.mutex;
}

void *malloc(size_t size) {
  note_allocator();
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  note_allocator();
  return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size) {
  note_allocator();
  return __libc_realloc(ptr, size);
}

void free(void *ptr) {
  note_allocator();
  __libc_free(ptr);
}

/* libc's own entry is found on first use; dlsym takes the loader's internal
   lock directly, never through these functions, so there is no recursion. */
#define NEXT(type, name, ...)                                                  \
  static type next = NULL;                                                     \
  if (next == NULL)                                                            \
    next = (type)dlsym(RTLD_NEXT, name);                                       \
  note_mutex();                                                                \
  return next(__VA_ARGS__)

typedef int (*mutex_fn)(pthread_mutex_t *);
typedef int (*mutex_time_fn)(pthread_mutex_t *, const struct timespec *);
typedef int (*mutex_clock_fn)(pthread_mutex_t *, clockid_t,
                              const struct timespec *);
typedef int (*mutex_init_fn)(pthread_mutex_t *, const pthread_mutexattr_t *);

int pthread_mutex_lock(pthread_mutex_t *m) {
  NEXT(mutex_fn, "pthread_mutex_lock", m);
}

int pthread_mutex_trylock(pthread_mutex_t *m) {
  NEXT(mutex_fn, "pthread_mutex_trylock", m);
}

int pthread_mutex_unlock(pthread_mutex_t *m) {
  NEXT(mutex_fn, "pthread_mutex_unlock", m);
}

int pthread_mutex_timedlock(pthread_mutex_t *m, const struct timespec *t) {
  NEXT(mutex_time_fn, "pthread_mutex_timedlock", m, t);
}

int pthread_mutex_clocklock(pthread_mutex_t *m, clockid_t c,
                            const struct timespec *t) {
  NEXT(mutex_clock_fn, "pthread_mutex_clocklock", m, c, t);
}

int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *a) {
  NEXT(mutex_init_fn, "pthread_mutex_init", m, a);
}

int pthread_mutex_destroy(pthread_mutex_t *m) {
  NEXT(mutex_fn, "pthread_mutex_destroy", m);
}
