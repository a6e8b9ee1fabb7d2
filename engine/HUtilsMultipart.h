// The multipart/form-data reader: streams the request body through a fixed
// ring buffer, appends the form's fields to the field data and writes
// uploaded files to temporary files.
#pragma once
#include <string>
#include <vector>

inline constexpr int MultipartRingSize = 131072;

// Reads Length bytes of the current request's body through HttpReadClient
// (request-scope function table) and appends its fields to Data. Temporary files go to TempDir (empty or relative: below the
// program's directory) and their paths are appended to TempFiles. After a
// failed read Data is empty. Returns the number of body bytes read from the
// client, so the caller can consume what the parse left unread.
long ReadMultipartData(std::string& Data, int Length, const std::string& TempDir,
                       std::vector<std::string>& TempFiles);
