/* A stand-in for an installed vendor VISA library, for the pass-through tests: built as
 * libvisa.so.0 (visa64.dll on Windows), it answers with made-up resources and data and appends
 * one line per call it receives to the file named by STANDIN_VISA_LOG. */
#include <kobrant/visa.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

enum { rm_handle = 100, list_handle = 200, session_handle = 300 };
static const char* const names[] = {"STANDIN0::1::INSTR", "STANDIN0::2::INSTR", "STANDIN0::3::SOCKET"};
static unsigned next_name = 1;
static int send_end = 1;
static unsigned answered = 0;
static const char answer[] = "STANDIN,MODEL-7,0,2.0\n";

static void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
#include <stdarg.h>
static void note(const char* format, ...) {
  const char* path = getenv("STANDIN_VISA_LOG");
  if (!path) return;
  FILE* log = fopen(path, "a");
  if (!log) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}

EXPORT ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi) {
  note("viOpenDefaultRM");
  *vi = rm_handle;
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 count, ViChar desc[]) {
  note("viFindRsrc %u %s", sesn, expr);
  next_name = 1;
  *vi = list_handle;
  *count = 3;
  strcpy(desc, names[0]);
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viFindNext(ViFindList vi, ViChar desc[]) {
  note("viFindNext %u", vi);
  if (next_name >= 3) return VI_ERROR_RSRC_NFOUND;
  strcpy(desc, names[next_name++]);
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi) {
  note("viOpen %u %s %u %u", sesn, name, mode, timeout);
  if (strstr(name, "FAIL")) {
    *vi = VI_NULL;
    return VI_ERROR_RSRC_NFOUND;
  }
  *vi = session_handle;
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viClose(ViObject vi) {
  note("viClose %u", vi);
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  note("viSetAttribute %u 0x%08X %llu", vi, attr, (unsigned long long)value);
  if (attr == VI_ATTR_SEND_END_EN) send_end = value != 0;
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viGetAttribute(ViObject vi, ViAttr attr, void* out) {
  note("viGetAttribute %u 0x%08X", vi, attr);
  (void)out;
  return VI_ERROR_NSUP_ATTR;
}

EXPORT ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 written) {
  note("viWrite %u end=%d %.*s", vi, send_end, (int)count, (const char*)buf);
  if (written) *written = count;
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viRead(ViSession vi, ViBuf buf, ViUInt32 count, ViPUInt32 got) {
  note("viRead %u %u", vi, count);
  unsigned left = (unsigned)strlen(answer) - answered;
  unsigned n = count < left ? count : left;
  memcpy(buf, answer + answered, n);
  answered += n;
  *got = n;
  if (answered < strlen(answer)) return VI_SUCCESS_MAX_CNT;
  answered = 0;
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viClear(ViSession vi) {
  note("viClear %u", vi);
  return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]) {
  note("viStatusDesc %u %d", vi, status);
  snprintf(desc, 256, "stand-in description of %d", status);
  return VI_SUCCESS;
}
