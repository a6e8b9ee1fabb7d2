// An in-process engine for tests: variables from a map, fields from a
// field-data string, the body from a string in reads of at most ReadSize
// bytes, the response into a string. For its lifetime it is its thread's
// current engine, in a request scope of its own, so that the request-scope
// functions act on it without a whole request; RunRequest serves one in a
// scope of its own.
#pragma once
#include <algorithm>
#include <cstring>
#include <map>

#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/PlatText.h"

class FakeEngine : public THttpEngine {
  TRequestScope scope_;

 public:
  FakeEngine() : THttpEngine(nullptr) {
    InitHttpEngine();
    ThreadContext().CurrentEngine = this;
    scope_.Record().DirectOutput = true;
  }
  ~FakeEngine() override { ThreadContext().CurrentEngine = nullptr; }

  std::map<std::string, std::string> Variables;        // keys as CGI names: "SERVER_SOFTWARE"
  std::string& FieldData = scope_.Record().FieldData;  // read by the engine core's GetField
  std::string Body, Output;
  size_t ReadSize = SIZE_MAX, Pos = 0;  // Pos: the next byte of Body to read

  // As an engine's request: the field data first, then the handler.
  void ProcessRequest() override {
    CurrentRequest().FieldData = FieldData;
    if (OnExecRequest) OnExecRequest(this);
  }
  int ReadClient(void* Buffer, int Count) override {
    const size_t n = std::min({static_cast<size_t>(Count), ReadSize, Body.size() - Pos});
    std::memcpy(Buffer, Body.data() + Pos, n);
    Pos += n;
    return static_cast<int>(n);
  }
  void SendToClient(const void* Buffer, int Count) override { Output.append(static_cast<const char*>(Buffer), Count); }
  void GetVariable(const std::string& Name, std::string& Value) override {
    std::string key = plat::UpperCase(Name);
    std::replace(key.begin(), key.end(), ' ', '_');
    Value = Variables.contains(key) ? Variables[key] : "";
  }
  bool IsActive() override { return true; }
};
