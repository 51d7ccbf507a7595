// The VISA C API: the only file that defines the C names. Each call checks its pointers, turns C
// buffers into spans once, and catches every exception, so no C++ exception ever reaches a C
// caller. The library always answers itself: choosing another VISA library is the caller's
// business.
#pragma GCC visibility push(default)
#include <kobrant/visa.h>
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

// Marks this library as kobrant's own, so the tool, finding it under a vendor's file name,
// calls its built-in copy instead of loading a second one.
extern const int kobrant_visa_builtin;
const int kobrant_visa_builtin = 1;

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
    forget_open_failure();
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

ViStatus viFlush(ViSession vi, ViUInt16 mask) {
  return guarded([&] {
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    if (mask & (VI_READ_BUF | VI_READ_BUF_DISCARD | VI_IO_IN_BUF | VI_IO_IN_BUF_DISCARD)) s->discard_input();
    return VI_SUCCESS;
  });
}

ViStatus viReadSTB(ViSession vi, ViPUInt16 status) {
  return guarded([&] {
    if (!status) return VI_ERROR_INV_PARAMETER;
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    return s->read_stb(*status);
  });
}

ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol) {
  return guarded([&] {
    auto s = find_session(vi);
    if (!s) return VI_ERROR_INV_OBJECT;
    return s->assert_trigger(protocol);
  });
}

ViStatus viEnableEvent(ViSession vi, ViEventType, ViUInt16, ViEventFilter) {
  return find_session(vi) ? VI_ERROR_NSUP_OPER : VI_ERROR_INV_OBJECT;
}

ViStatus viDisableEvent(ViSession vi, ViEventType, ViUInt16) {
  return find_session(vi) ? VI_SUCCESS_EVENT_DIS : VI_ERROR_INV_OBJECT;
}

ViStatus viDiscardEvents(ViSession vi, ViEventType, ViUInt16) {
  return find_session(vi) ? VI_SUCCESS_QUEUE_EMPTY : VI_ERROR_INV_OBJECT;
}

ViStatus viWaitOnEvent(ViSession vi, ViEventType, ViUInt32, ViPEventType outEventType, ViPEvent outContext) {
  if (outEventType) *outEventType = 0;
  if (outContext) *outContext = VI_NULL;
  return find_session(vi) ? VI_ERROR_NSUP_OPER : VI_ERROR_INV_OBJECT;
}

ViStatus viLock(ViSession vi, ViAccessMode, ViUInt32, ViConstKeyId, ViChar accessKey[]) {
  if (accessKey) accessKey[0] = '\0';
  return find_session(vi) ? VI_ERROR_NSUP_OPER : VI_ERROR_INV_OBJECT;
}

ViStatus viUnlock(ViSession vi) {
  return find_session(vi) ? VI_ERROR_SESN_NLOCKED : VI_ERROR_INV_OBJECT;
}

ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                       ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[]) {
  return guarded([&] {
    if (!is_manager(rmSesn)) return VI_ERROR_INV_OBJECT;
    if (!rsrcName) return VI_ERROR_INV_RSRC_NAME;
    resource_name name;
    ViStatus status = parse_resource_name(rsrcName, name);
    if (status < 0) return status;
    if (intfType) *intfType = name.interface_type;
    if (intfNum) *intfNum = static_cast<ViUInt16>(name.board);
    if (rsrcClass) copy_name(name.resource_class, rsrcClass);
    if (expandedUnaliasedName) copy_name(name.canonical, expandedUnaliasedName);
    if (aliasIfExists) aliasIfExists[0] = '\0';
    return VI_SUCCESS;
  });
}

ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum) {
  return viParseRsrcEx(rmSesn, rsrcName, intfType, intfNum, nullptr, nullptr, nullptr);
}

ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]) {
  return guarded([&] {
    if (!desc) return VI_ERROR_INV_PARAMETER;
    // The system's reason for a failed open belongs to the caller that has no instrument
    // session yet (the manager, or none); an open session's statuses are its own.
    const std::string detail = find_session(vi) ? std::string() : open_failure_detail(status);
    const std::string text = describe_status(status, detail, 255);
    std::memcpy(desc, text.data(), text.size());
    desc[text.size()] = '\0';
    return status_text(status) ? VI_SUCCESS : VI_WARN_UNKNOWN_STATUS;
  });
}

}  // extern "C"
#pragma GCC visibility pop
