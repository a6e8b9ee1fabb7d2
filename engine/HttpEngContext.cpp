#include "engine/HttpEngContext.h"

#include "platform/PlatExcept.h"

namespace {
thread_local TThreadContext context;
}  // namespace

TThreadContext& ThreadContext() { return context; }

TRequestRecord& CurrentRequest() {
  if (!context.Request) throw plat::Exception("No request is being served on this thread");
  return *context.Request;
}

TRequestScope::TRequestScope() : covered_(context.Request) { context.Request = &record_; }
TRequestScope::~TRequestScope() { context.Request = covered_; }
