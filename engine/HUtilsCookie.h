// One named cookie of the web client: read from the request's cookie string,
// written as a "set-cookie" header line, optionally scrambled.
#pragma once
#include <string>

#include "platform/PlatComponents.h"

class THttpCookie : public plat::TComponent {
 public:
  explicit THttpCookie(plat::TComponent* owner) : plat::TComponent(owner) {}

  std::string CookieName;
  std::string Domain;
  std::string Path;
  bool Secure = false;
  bool Coded = false;
  int CodeKey = 0;

  // The cookie follows the component's name until it is given one of its own.
  void SetName(const std::string& name) override;
  // Writes the header line; Expires is a local OLE date-time.
  void SetCookie(const std::string& Value, double Expires);
  void GetCookie(const std::string& Default, std::string& Value);

 private:
  std::string nameTakenOver_;
};

std::string EncodeValue(const std::string& Text, int Key);
std::string DecodeValue(const std::string& Text, int Key);
