// The VISA C API of the built-in library: the only file that defines the C names. Each call
// checks its pointers, turns C buffers into spans once, and catches every exception, so no C++
// exception ever reaches a C caller.
#pragma GCC visibility push(default)
#include "visa/visa.h"
#pragma GCC visibility pop

#include "resource_manager.h"
#include "status_text.h"

#include <cstring>
#include <new>
#include <span>
#include <string>

using namespace kobrant::visa;

namespace {

template <typename Fn>
ViStatus guarded(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return VI_ERROR_ALLOC;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

// Resource names go out into the caller's VI_FIND_BUFLEN-byte buffer, always terminated.
void copy_name(const std::string& name, ViChar* desc) {
  std::size_t n = name.size() < VI_FIND_BUFLEN - 1 ? name.size() : VI_FIND_BUFLEN - 1;
  std::memcpy(desc, name.data(), n);
  desc[n] = '\0';
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi) {
  return guarded([&] {
    if (!vi) return VI_ERROR_INV_PARAMETER;
    *vi = VI_NULL;
    return open_default_rm(*vi);
  });
}

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]) {
  return guarded([&] {
    if (vi) *vi = VI_NULL;
    if (retCnt) *retCnt = 0;
    if (!expr) return VI_ERROR_INV_EXPR;
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    std::string first;
    ViStatus status = find_resources(sesn, expr, list, count, first);
    if (status < 0) return status;
    if (desc) copy_name(first, desc);
    if (retCnt) *retCnt = count;
    if (vi) *vi = list;
    else close_object(list);  // nobody could walk or close it
    return status;
  });
}

ViStatus viFindNext(ViFindList vi, ViChar desc[]) {
  return guarded([&] {
    std::string name;
    ViStatus status = find_next(vi, name);
    if (status >= 0 && desc) copy_name(name, desc);
    return status;
  });
}

ViStatus viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode, ViUInt32 openTimeout, ViPSession vi) {
  return guarded([&] {
    if (vi) *vi = VI_NULL;
    if (!rsrcName) return VI_ERROR_INV_RSRC_NAME;
    if (!vi) return VI_ERROR_INV_PARAMETER;
    return open_session(sesn, rsrcName, accessMode, openTimeout, *vi);
  });
}

ViStatus viClose(ViObject vi) {
  return guarded([&] { return close_object(vi); });
}

ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue) {
  return guarded([&] {
    auto s = find_session(vi);
    if (!s) return is_manager(vi) ? VI_ERROR_NSUP_ATTR : VI_ERROR_INV_OBJECT;
    return s->set_attribute(attrName, attrValue);
  });
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void* attrState) {
  return guarded([&] {
    if (!attrState) return VI_ERROR_INV_PARAMETER;
    auto s = find_session(vi);
    if (!s) return is_manager(vi) ? VI_ERROR_NSUP_ATTR : VI_ERROR_INV_OBJECT;
    return s->get_attribute(attrName, attrState);
  });
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 retCount) {
  return guarded([&] {
    if (retCount) *retCount = 0;
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    if (!buf && count > 0) return VI_ERROR_INV_PARAMETER;
    std::size_t written = 0;
    ViStatus status = s->write(std::as_bytes(std::span(buf, count)), written);
    if (retCount) *retCount = static_cast<ViUInt32>(written);
    return status;
  });
}

ViStatus viRead(ViSession vi, ViBuf buf, ViUInt32 count, ViPUInt32 retCount) {
  return guarded([&] {
    if (retCount) *retCount = 0;
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    if (!buf && count > 0) return VI_ERROR_INV_PARAMETER;
    std::size_t got = 0;
    ViStatus status = s->read(std::as_writable_bytes(std::span(buf, count)), got);
    if (retCount) *retCount = static_cast<ViUInt32>(got);
    return status;
  });
}

ViStatus viClear(ViSession vi) {
  return guarded([&] {
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    return s->clear();
  });
}

ViStatus viStatusDesc(ViObject, ViStatus status, ViChar desc[]) {
  return guarded([&] {
    if (!desc) return VI_ERROR_INV_PARAMETER;
    const char* known = status_text(status);
    std::string text = known ? known : describe_status(status);
    std::size_t n = text.size() < 255 ? text.size() : 255;
    std::memcpy(desc, text.data(), n);
    desc[n] = '\0';
    return known ? VI_SUCCESS : VI_WARN_UNKNOWN_STATUS;
  });
}

}  // extern "C"
#pragma GCC visibility pop
