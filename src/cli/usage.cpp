// Usage text and instrument listing.
#include "cli/usage.h"
#include "visa/visa_api.h"

#include "exchange/run.h"
#include <kobrant/visa.h>

#include <cstdio>

using kobrant::tool::visa;

int usage_help() {
  std::puts("KOBRANT.EXE - A simple instrument communication utility.");
  std::puts("Author: The kobrant developers (kobrant-devel@lists.kobrant.invalid)");
  std::printf("Version: %s - %s\n", __DATE__, __TIME__);
  std::puts("Options:");
  std::puts("   /a= - instrument address (required)");
  std::puts("   /c= - string or file containing instrument command (required, unless /r)");
  std::puts("   /t= - specify command timeout (optional)");
  std::puts("   /b= - specify buffer (optional)");
  std::puts("   /o= - specify output file (without formating) (optional)");
  std::puts("   /l - without echo or formating (optional)");
  std::puts("   /w - disable auto query (optional)");
  std::puts("   /r - force read from instrument (optional)");
  return 1;
}

int print_list() {
  ViSession rm = VI_NULL;
  ViStatus status = visa().open_default_rm(&rm);
  if (status < VI_SUCCESS) {
    report_visa_status(VI_NULL, status);
    return -2;
  }
  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  // Twice the standard's name length: room to spare, and the name is always terminated.
  char name[512] = {};
  status = visa().find_rsrc(rm, "?*", &list, &count, name);
  if (status < VI_SUCCESS) {
    report_visa_status(VI_NULL, status);
    visa().close(rm);
    return -2;
  }
  std::puts("\nVISA Resource Manager: Available Instruments:");
  // A library that reports success with no match gives no name to print.
  if (count > 0) std::puts(name);
  for (ViUInt32 i = 1; i < count; ++i) {
    // A failing viFindNext leaves the buffer as it was; stop rather than print a name twice.
    if (visa().find_next(list, name) < VI_SUCCESS) break;
    name[sizeof name - 1] = '\0';
    std::puts(name);
  }
  std::puts("\n*** Remember to update your VISA Resource Manager ***");
  visa().close(rm);
  return 0;
}
