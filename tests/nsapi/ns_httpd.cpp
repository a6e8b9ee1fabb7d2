// A stand-in for an NSAPI server's library, for tests only: the functions
// the engine calls, over the host's records. Built in three variants: plain
// names (NS_PLAIN), only "INT" names (NS_INT), and "pblock_fr" in place of
// "_pblock_fr" (NS_FR).
#include <mutex>

#include "tests/support/LibraryHost.h"

#ifdef NS_INT
#define E(name) INT##name
#else
#define E(name) name
#endif
#ifdef NS_PLAIN
#define pblock_fr _pblock_fr
#endif

static thread_local TConnection* trace = nullptr;
// The status given, negative when it came with a reason phrase of the library's own.
static thread_local int status = 0;

extern "C" {

void nsfake_bind(TConnection* t) { trace = t; }

char* E(pblock_findval)(const char* name, pblock* pb) {
  pb_entry* e = *NsLink(pb, name);
  return e ? e->param->value : nullptr;
}

pb_param* E(pblock_fr)(const char* name, pblock* pb, int remove) {
  pb_entry** link = NsLink(pb, name);
  return !*link ? nullptr : remove ? NsTake(link) : (*link)->param;
}

void E(param_free)(pb_param* p) { std::free(p); }

pb_param* E(pblock_nvinsert)(const char* name, const char* value, pblock* pb) { return NsAdd(pb, name, value); }

int E(request_header)(char* name, char** value, Session*, Request* rq) {
  *value = E(pblock_findval)(name, rq->headers);
  return *value ? REQ_PROCEED : REQ_ABORTED;
}

int E(http_status)(Session*, Request*, int code, char* text) {
  status = text ? -code : code;
  return REQ_PROCEED;
}

// The status line and the fields of srvhdrs, as the server sends them.
int E(http_start_response)(Session*, Request* rq) {
  trace->Result.Output += "HTTP/1.1 " + std::to_string(status) + " OK\r\n";
  for (pb_entry* e = rq->srvhdrs->ht[0]; e; e = e->next)
    trace->Result.Output += std::string(e->param->name) + ":" + e->param->value + "\r\n";
  trace->Result.Output += "\r\n";
  status = 0;
  return REQ_PROCEED;
}

int E(net_write)(int, char* buf, int size) {
  trace->Result.Output.append(buf, size);
  return size;
}

int E(netbuf_next)(netbuf* buf, int) {
  const size_t n = trace->Read(buf->inbuf, buf->maxsize);
  if (n == 0) return IO_EOF;
  buf->cursize = static_cast<int>(n);
  buf->pos = 1;
  return buf->inbuf[0];
}

CRITICAL E(crit_init)() { return new std::recursive_mutex; }
void E(crit_enter)(CRITICAL c) { static_cast<std::recursive_mutex*>(c)->lock(); }
void E(crit_exit)(CRITICAL c) { static_cast<std::recursive_mutex*>(c)->unlock(); }
void E(crit_terminate)(CRITICAL c) { delete static_cast<std::recursive_mutex*>(c); }
}
