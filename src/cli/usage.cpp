// The usage text.
#include "cli/usage.h"

#include <cstdio>

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
