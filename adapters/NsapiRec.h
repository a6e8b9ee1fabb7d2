// The records and entry types of the server's NSAPI library. Only the
// leading fields are ours to know; the server may keep more after them.
#pragma once

struct pb_param {
  char* name;
  char* value;
};
struct pb_entry {
  pb_param* param;
  pb_entry* next;
};
struct pblock {
  int hsize;
  pb_entry** ht;
};
struct netbuf {
  int sd;
  int pos;
  int cursize;
  int maxsize;
  int rdtimeout;
  char address[64];
  unsigned char* inbuf;
  char* errmsg;
};
struct Session {
  pblock* client;
  int csd;
  netbuf* inbuf;
  int csd_open;
};
struct Request {
  pblock* vars;
  pblock* reqpb;
  int loadhdrs;
  pblock* headers;
  int senthdrs;
  pblock* srvhdrs;
};
using CRITICAL = void*;

constexpr int REQ_PROCEED = 0;
constexpr int REQ_ABORTED = -1;
constexpr int IO_ERROR = -1;
constexpr int IO_EOF = 0;

// The entries the engine calls, all with the C calling convention.
extern "C" {
using pblock_findval_t = char* (*)(const char* name, pblock* pb);
using pblock_fr_t = pb_param* (*)(const char* name, pblock* pb, int remove);
using param_free_t = void (*)(pb_param* pp);
using pblock_nvinsert_t = pb_param* (*)(const char* name, const char* value, pblock* pb);
using request_header_t = int (*)(char* name, char** value, Session* sn, Request* rq);
using http_status_t = int (*)(Session* sn, Request* rq, int status, char* reason);
using http_start_response_t = int (*)(Session* sn, Request* rq);
using net_write_t = int (*)(int sd, char* buf, int size);
using netbuf_next_t = int (*)(netbuf* buf, int timeout);
using crit_init_t = CRITICAL (*)();
using crit_call_t = void (*)(CRITICAL id);

int NsapiService(pblock* pb, Session* sn, Request* rq);
}
