// The five entry points through which a web server reaches the ISAPI engine.
// None lets an exception reach the server, and each answers failure when
// the library's start-up made no engine.
#include <algorithm>
#include <cstring>

#include "adapters/IsapiEng.h"

namespace {

void CopyText(char* target, const std::string& text, size_t room) {
  const size_t count = std::min(text.size(), room);
  std::memcpy(target, text.data(), count);
  target[count] = '\0';
}

}  // namespace

extern "C" {

BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer) {
  TISAPIEngine* engine = TheIsapiEngine();
  if (!engine || !pVer) return 0;
  std::string description = "TELVAR 4.0.1";
  bool result = true;
  pVer->dwExtensionVersion = IsapiVersion;
  try {
    if (engine->OnHttpExtensionVersion) {
      unsigned version = pVer->dwExtensionVersion;
      engine->OnHttpExtensionVersion(version, description, result);
      pVer->dwExtensionVersion = version;
    }
  } catch (...) {
    // A handler that fails leaves the extension unusable: the load is refused.
    WriteLog(CurrentExceptionMessage());
    result = false;
  }
  CopyText(pVer->lpszExtensionDesc, description, 255);
  return result;
}

BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  TISAPIEngine* engine = TheIsapiEngine();
  if (!engine || !pVer) return 0;
  bool result = true;
  try {
    SetCurrentEngine(engine);
    pVer->dwFlags = 0;
    pVer->dwFilterVersion = IsapiVersion;
    if (engine->OnHttpFilterVersion) {
      unsigned server = pVer->dwServerFilterVersion, version = pVer->dwFilterVersion, flags = pVer->dwFlags;
      std::string description;
      engine->OnHttpFilterVersion(server, version, description, flags, result);
      pVer->dwServerFilterVersion = server;
      pVer->dwFilterVersion = version;
      pVer->dwFlags = flags;
      CopyText(pVer->lpszFilterDesc, description, 256);
    }
  } catch (...) {
    WriteLog(CurrentExceptionMessage());
    result = false;
  }
  return result;
}

DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB) {
  TISAPIEngine* engine = TheIsapiEngine();
  if (!engine || !ECB) return HSE_STATUS_ERROR;
  TIsapiThreadFields& fields = IsapiThreadFields();
  fields.ControlBlock = ECB;
  DWORD status = HSE_STATUS_SUCCESS;
  if (engine->OnExecRequest) {
    try {
      RunRequest(engine);
    } catch (...) {
      const std::string message = CurrentExceptionMessage();
      WriteLog(message);
      status = HSE_STATUS_ERROR;
      CopyText(ECB->lpszLogData, message, 79);
    }
  }
  fields.ControlBlock = nullptr;
  return status;
}

BOOL TerminateExtension(DWORD) {
  TISAPIEngine* engine = TheIsapiEngine();
  try {
    if (engine && engine->OnLastExecRequest) engine->OnLastExecRequest(nullptr);
  } catch (...) {
    WriteLog(CurrentExceptionMessage());
    return 1;
  }
  return 0;
}

DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, void* pvNotification) {
  DWORD result = SF_STATUS_REQ_NEXT_NOTIFICATION;
  TISAPIEngine* engine = TheIsapiEngine();
  if (!engine) return result;
  TIsapiThreadFields& fields = IsapiThreadFields();
  try {
    // A notification is no request: it gets a record of its own, so that
    // its fields never mix with a request's.
    TRequestScope scope;
    SetCurrentEngine(engine);
    fields.FilterNotification = NotificationType;
    fields.FilterContext = pfc;
    fields.RawSendText.clear();
    if (NotificationType == SF_NOTIFY_READ_RAW_DATA && pvNotification) {
      const auto& raw = *static_cast<HTTP_FILTER_RAW_DATA*>(pvNotification);
      TISAPIEngine::ParseRawRequest(static_cast<const char*>(raw.pvInData), raw.pvInData ? raw.cbInData : 0);
    }
    if (engine->OnHttpFilterProc && pfc) {
      unsigned value = result;
      engine->OnHttpFilterProc(*pfc, NotificationType, pvNotification, value);
      result = value;
    }
  } catch (...) {
    WriteLog(CurrentExceptionMessage());
  }
  fields.FilterContext = nullptr;
  fields.FilterNotification = 0;
  return result;
}

}  // extern "C"
