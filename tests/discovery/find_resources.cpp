// Prints what viFindRsrc and viFindNext give for the expression in argv[1], one name a line,
// as a program linked against the VISA C API sees it. Exit 0 with names, 1 with none, 2 when
// the search failed otherwise.
#include <kobrant/visa.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: find_resources EXPRESSION\n", stderr);
    return 2;
  }
  ViSession rm = VI_NULL;
  if (viOpenDefaultRM(&rm) < VI_SUCCESS) return 2;
  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  char name[VI_FIND_BUFLEN] = {};
  const ViStatus status = viFindRsrc(rm, argv[1], &list, &count, name);
  if (status == VI_ERROR_RSRC_NFOUND) return 1;
  if (status < VI_SUCCESS) return 2;
  for (ViUInt32 i = 0; i < count; ++i) {
    if (i > 0 && viFindNext(list, name) < VI_SUCCESS) return 2;
    std::puts(name);
  }
  viClose(rm);
  return 0;
}
