/* Preloaded into a run, makes time() return FIXED_TIME from the
   environment, so that two runs seed their draw alike. */
#include <stdlib.h>
#include <time.h>

time_t time(time_t* t) {
  time_t v = (time_t)atoll(getenv("FIXED_TIME"));
  if (t) *t = v;
  return v;
}
