/* Returns from main while four threads are still querying the instrument through sessions of
 * their own and a fifth opens and closes sessions: the process must exit with status 0, never crash in
 * exit handlers that pull state from under those threads. Usage: exit_busy RESOURCE */
#include <kobrant/visa.h>

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

enum { queriers = 4 };

static ViSession rm;
static const char* resource;
static atomic_int started;

static void* query_forever(void* arg) {
  (void)arg;
  const char command[] = "ECHO? busy\n";
  char answer[64];
  ViUInt32 count;
  ViSession vi = VI_NULL;
  if (viOpen(rm, resource, VI_NULL, 5000, &vi) < 0) fprintf(stderr, "cannot open %s\n", resource);
  for (int first = 1;; first = 0) {
    viWrite(vi, (ViConstBuf)command, (ViUInt32)strlen(command), &count);
    viRead(vi, (ViBuf)answer, sizeof answer, &count);
    if (first) atomic_fetch_add(&started, 1);
  }
  return NULL;
}

static void* open_and_close_forever(void* arg) {
  (void)arg;
  for (int first = 1;; first = 0) {
    ViSession vi = VI_NULL;
    if (viOpen(rm, resource, VI_NULL, 5000, &vi) >= 0) viClose(vi);
    if (first) atomic_fetch_add(&started, 1);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: exit_busy RESOURCE\n");
    return 2;
  }
  resource = argv[1];
  if (viOpenDefaultRM(&rm) < 0) return 1;
  pthread_t thread;
  for (int i = 0; i < queriers; ++i) pthread_create(&thread, NULL, query_forever, NULL);
  pthread_create(&thread, NULL, open_and_close_forever, NULL);
  const struct timespec pause = {0, 1000000};
  while (atomic_load(&started) < queriers + 1) nanosleep(&pause, NULL);
  return 0;
}
