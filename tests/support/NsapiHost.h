// A server's side of NSAPI for tests: the records of a request, built from
// CGI-style variables, handed to a loaded library's NsapiService; the fake
// server library (tests/nsapi/ns_httpd.cpp) records on the calling thread's
// trace what the library sends back.
#pragma once
#include <tuple>

#include "adapters/NsapiRec.h"
#include "tests/support/LibraryHost.h"

// Parameter blocks as one chain in insertion order; no name finds its end.
inline pb_entry** NsLink(pblock* pb, const char* name) {
  pb_entry** link = &pb->ht[0];
  while (*link && (!name || std::strcmp((*link)->param->name, name) != 0)) link = &(*link)->next;
  return link;
}
inline pb_param* NsAdd(pblock* pb, const char* name, const char* value) {
  return (*NsLink(pb, nullptr) = new pb_entry{new pb_param{strdup(name), strdup(value)}, nullptr})->param;
}
// Takes the parameter at link out of its chain.
inline pb_param* NsTake(pb_entry** link) {
  std::unique_ptr<pb_entry> e(*link);
  *link = e->next;
  return e->param;
}
inline void NsFreeParam(pb_param* p) {
  std::free(p->name);
  std::free(p->value);
  delete p;
}
struct TNsBlock {
  pb_entry* chain = nullptr;
  pblock pb{1, &chain};
  ~TNsBlock() {
    while (chain) NsFreeParam(NsTake(&chain));
  }
};

class TNsapiHost : public TLibraryHost<TNsapiHost> {
 public:
  static constexpr long Success = REQ_PROCEED;
  // The fake server library kept to itself (RTLD_LOCAL), loaded after the
  // module's start-up: the module finds it by its soname at a request.
  TNsapiHost(const std::string& server, const std::string& module)
      : TLibraryHost(module), server_(dlopen(server.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose),
        bind_(server_ ? reinterpret_cast<void (*)(TConnection*)>(dlsym(server_.get(), "nsfake_bind")) : nullptr) {}

  TLibraryResult Serve(const TLibraryCall& call) const {
    TNsBlock params, client, vars, reqpb, headers, srvhdrs;
    NsAdd(&params.pb, "fn", "parlino");
    std::map<std::string, std::string> v = call.Variables;
    const bool post = v.try_emplace("REQUEST_METHOD", call.Body.empty() ? "GET" : "POST").first->second == "POST";
    if (post) v.try_emplace("CONTENT_LENGTH", std::to_string(call.Body.size()));
    for (auto [block, param, name] : {std::tuple{&reqpb, "method", "REQUEST_METHOD"}, {&reqpb, "query", "QUERY_STRING"},
             {&reqpb, "uri", "SCRIPT_NAME"}, {&headers, "content-type", "CONTENT_TYPE"},
             {&headers, "content-length", "CONTENT_LENGTH"}, {&headers, "cookie", "HTTP_COOKIE"},
             {&client, "ip", "REMOTE_ADDR"}})
      if (v.count(name)) NsAdd(&block->pb, param, v[name].c_str());
    for (const auto& [name, value] : call.ServerHeaders) NsAdd(&srvhdrs.pb, name.c_str(), value.c_str());
    TConnection connection{call, std::min({call.Preload, call.Body.size(), static_cast<size_t>(call.BufferSize)})};
    std::vector<unsigned char> input(call.BufferSize);
    call.Body.copy(reinterpret_cast<char*>(input.data()), connection.Position);
    netbuf buffer{7, 0, static_cast<int>(connection.Position), call.BufferSize, 30, "10.0.0.1", input.data(), nullptr};
    Session sn{&client.pb, 7, &buffer, 1};
    Request rq{&vars.pb, &reqpb.pb, 1, &headers.pb, 0, &srvhdrs.pb};
    if (bind_) bind_(&connection);
    connection.Result.Status = Entry<int(pblock*, Session*, Request*)>("NsapiService")(&params.pb, &sn, &rq);
    if (bind_) bind_(nullptr);
    return connection.Result;
  }

 private:
  TLibrary server_;
  void (*bind_)(TConnection*);
};
