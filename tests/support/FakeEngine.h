// An in-process engine for tests: variables from a map, fields from a
// field-data string, the response into a string. Body is for the reads of
// a derived client.
#pragma once
#include <algorithm>
#include <cstring>
#include <map>

#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/PlatText.h"

class FakeEngine : public THttpEngine {
 public:
  explicit FakeEngine(plat::TComponent* owner = nullptr) : THttpEngine(owner) {}

  std::map<std::string, std::string> Variables;  // keys as CGI names: "SERVER_SOFTWARE"
  std::string FieldData;
  std::string Body;
  std::string Output;

  void ProcessRequest() override {
    if (OnExecRequest) OnExecRequest(this);
  }
  void SendToClient(const void* Buffer, int Count) override {
    Output.append(static_cast<const char*>(Buffer), Count);
  }
  void GetVariable(const std::string& Name, std::string& Value) override {
    std::string key = plat::UpperCase(Name);
    std::replace(key.begin(), key.end(), ' ', '_');
    auto it = Variables.find(key);
    Value = it == Variables.end() ? std::string() : it->second;
  }
  void GetField(const std::string& Name, const std::string& Default, std::string& Value) override {
    Value = GetFieldValue(Name, FieldData, Default);
  }
  std::vector<std::string> GetFieldNames() override { return GetFieldNamesOf(FieldData); }
  bool IsActive() override { return true; }

  // Serves one request through the engine core's wrapper.
  std::string Run() {
    Output.clear();
    RunRequest(this);
    return Output;
  }
};

// Makes the request-scope functions act on a fake engine for the scope of a
// test, without running a whole request.
class FakeRequestScope {
 public:
  explicit FakeRequestScope(FakeEngine& engine) {
    InitHttpEngine();
    ThreadContext().CurrentEngine = &engine;
    scope_.Record().DirectOutput = true;
  }
  ~FakeRequestScope() { ThreadContext().CurrentEngine = nullptr; }

 private:
  TRequestScope scope_;
};
