/* Counters kept by rt_interpose.c for the calling thread. */
#ifndef RT_INTERPOSE_H
#define RT_INTERPOSE_H

#ifdef __cplusplus
extern "C" {
#endif

struct rt_calls {
  int allocator; /* malloc, calloc, realloc, free */
  int mutex;     /* pthread_mutex_* */
};

void rt_count(int on);
void rt_reset(void);
struct rt_calls rt_calls_so_far(void);

#ifdef __cplusplus
}
#endif

#endif
