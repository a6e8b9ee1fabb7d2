// The records and constants of the server's extension and filter interface,
// in the published field order. Plain C layout: the server fills them.
#pragma once
#include <cstdint>

using DWORD = uint32_t;
using BOOL = int32_t;

struct EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  void* ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[80];
  char* lpszMethod;
  char* lpszQueryString;
  char* lpszPathInfo;
  char* lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  unsigned char* lpbData;
  char* lpszContentType;
  BOOL (*GetServerVariable)(void* ConnID, char* name, void* buffer, DWORD* size);
  BOOL (*WriteClient)(void* ConnID, void* buffer, DWORD* bytes, DWORD reserved);
  BOOL (*ReadClient)(void* ConnID, void* buffer, DWORD* size);
  BOOL (*ServerSupportFunction)(void* ConnID, DWORD request, void* buffer, DWORD* size, DWORD* dataType);
};

struct HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[256];
};

struct THTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  void* ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  void* pFilterContext;
  BOOL (*GetServerVariable)(THTTP_FILTER_CONTEXT* pfc, char* name, void* buffer, DWORD* size);
  BOOL (*AddResponseHeaders)(THTTP_FILTER_CONTEXT* pfc, char* headers, DWORD reserved);
  BOOL (*WriteClient)(THTTP_FILTER_CONTEXT* pfc, void* buffer, DWORD* bytes, DWORD reserved);
  void* (*AllocMem)(THTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  BOOL (*ServerSupportFunction)(THTTP_FILTER_CONTEXT* pfc, DWORD request, void* p1, DWORD p2, DWORD p3);
};
using HTTP_FILTER_CONTEXT = THTTP_FILTER_CONTEXT;

struct HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  char lpszFilterDesc[257];
  DWORD dwFlags;
};

struct HTTP_FILTER_RAW_DATA {
  void* pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
};

constexpr DWORD HSE_STATUS_SUCCESS = 1;
constexpr DWORD HSE_STATUS_ERROR = 4;
constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = 1;
constexpr DWORD SF_STATUS_REQ_NEXT_NOTIFICATION = 0x8000002;
constexpr DWORD SF_NOTIFY_SEND_RAW_DATA = 0x400;
constexpr DWORD SF_NOTIFY_PREPROC_HEADERS = 0x4000;
constexpr DWORD SF_NOTIFY_READ_RAW_DATA = 0x8000;
// Major version 2 in the high word, minor 0 in the low word.
constexpr DWORD IsapiVersion = 2u << 16;

extern "C" {
BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ECB);
BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer);
DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, void* pvNotification);
BOOL TerminateExtension(DWORD dwFlags);
}
