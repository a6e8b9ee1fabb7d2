// The service entry through which an NSAPI server hands the library a
// request. No exception reaches the server; a request the library cannot
// serve is refused with REQ_ABORTED and a line in the log.
#include "adapters/NsapiEng.h"

extern "C" int NsapiService(pblock* pb, Session* sn, Request* rq) {
  TNSAPIEngine* engine = TheNsapiEngine();
  if (!engine || !sn || !rq) {
    WriteLog("NSAPI request refused: the library has no NSAPI engine or the server no request");
    return REQ_ABORTED;
  }
  if (!NsapiLibraryReady()) {
    WriteLog("NSAPI request refused: no server library could be loaded");
    return REQ_ABORTED;
  }
  TNsapiThreadFields& fields = NsapiThreadFields();
  fields.NsapiParams = pb;
  fields.NsapiConnection = sn;
  fields.NsapiRequest = rq;
  fields.ResponseStarted = false;
  SetNsapiActive(true);
  int result = REQ_PROCEED;
  try {
    RunRequest(engine);
  } catch (...) {
    WriteLog(CurrentExceptionMessage());
    result = REQ_ABORTED;
  }
  fields = TNsapiThreadFields();
  return result;
}
