// The instrument listing of the no-argument form.
#include "exchange/listing.h"
#include "exchange/run.h"
#include "visa/visa_api.h"

#include <cstdio>

using kobrant::tool::visa;

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
