/* A program of the user's own, built against the installed library the way the README says
 * (pkg-config --cflags --libs kobrant-visa): asks the instrument named on the command line
 * who it is and prints the answer. Exits 1 with the status text on any failure. */
#include <stdio.h>
#include <string.h>
#include <visa.h>

static int fail(ViSession rm, ViStatus status, const char* what) {
  char text[256] = "";
  viStatusDesc(rm, status, text);
  fprintf(stderr, "%s: %ld %s\n", what, (long)status, text);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s RESOURCE\n", argv[0]);
    return 2;
  }
  ViSession rm = VI_NULL;
  ViSession instrument = VI_NULL;
  ViStatus status = viOpenDefaultRM(&rm);
  if (status < VI_SUCCESS) return fail(VI_NULL, status, "viOpenDefaultRM");
  status = viOpen(rm, argv[1], VI_NULL, 2000, &instrument);
  if (status < VI_SUCCESS) return fail(rm, status, "viOpen");
  static const char query[] = "*IDN?\n";
  ViUInt32 count = 0;
  status = viWrite(instrument, (ViConstBuf)query, (ViUInt32)strlen(query), &count);
  if (status < VI_SUCCESS) return fail(rm, status, "viWrite");
  unsigned char answer[256];
  status = viRead(instrument, answer, sizeof answer - 1, &count);
  if (status < VI_SUCCESS) return fail(rm, status, "viRead");
  answer[count] = '\0';
  fputs((const char*)answer, stdout);
  viClose(instrument);
  viClose(rm);
  return 0;
}
