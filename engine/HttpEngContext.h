// Where a request's state lives: one context per thread (its current engine
// and what the serving adapter keeps for the thread) and, inside it, one
// record per request, zero by construction and gone when the request ends.
// Nothing a request changes lives anywhere else, so requests on different
// threads of one process never meet.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class THttpEngine;

enum class TImageType : uint8_t { None = 0, Jpeg = 1, Gif = 2 };

// State that a floor above the engine core keeps per request or per thread
// (the template filter's block stack, the application's request, an
// adapter's streams). Each kind is made on first use and found by its type.
struct TStatePart {
  virtual ~TStatePart() = default;
};

class TStateParts {
 public:
  template <class T>
  T& Get() {
    for (auto& part : parts_)
      if (auto* found = dynamic_cast<T*>(part.get())) return *found;
    parts_.push_back(std::make_unique<T>());
    return static_cast<T&>(*parts_.back());
  }

 private:
  std::vector<std::unique_ptr<TStatePart>> parts_;
};

struct TRequestRecord {
  std::optional<std::vector<std::string>> TempFiles;
  bool HeaderDone = false;
  bool StatusLineDone = false;
  int LogId = 0;
  TImageType ImageType = TImageType::None;
  std::optional<std::string> OutputBuffer;
  bool DirectOutput = false;
  // The request's form fields, url-encoded name=value pairs joined by "&".
  std::string FieldData;
  // The announced body length, once read; what the client has delivered.
  std::optional<int> ContentLength;
  long BodyBytesRead = 0;
  TStateParts Parts;
};

struct TThreadContext {
  THttpEngine* CurrentEngine = nullptr;
  TRequestRecord* Request = nullptr;  // the request being served, if any
  TStateParts Parts;                  // the adapters' per-thread fields
};

TThreadContext& ThreadContext();
// The calling thread's request; raises when no request is being served.
TRequestRecord& CurrentRequest();

// Opens a fresh request record on the calling thread for its lifetime; the
// record it covers comes back afterwards.
class TRequestScope {
 public:
  TRequestScope();
  ~TRequestScope();
  TRequestScope(const TRequestScope&) = delete;
  TRequestScope& operator=(const TRequestScope&) = delete;
  TRequestRecord& Record() { return record_; }

 private:
  TRequestRecord record_;
  TRequestRecord* covered_;
};
