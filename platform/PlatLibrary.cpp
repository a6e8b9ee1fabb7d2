// Libraries loaded at run time, in a unit of their own: a statically linked
// program that never loads one carries no loader code.
#include <dlfcn.h>

#include "platform/PlatProcess.h"

namespace plat {

void* LoadLibraryByName(const std::string& name) {
  return name.empty() ? nullptr : dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* LibraryEntry(void* library, const std::string& name) {
  return library ? dlsym(library, name.c_str()) : nullptr;
}

#ifndef PARLINO_SYSTEM_DIR
#define PARLINO_SYSTEM_DIR "/usr/lib"
#endif
std::string SystemDirectory() { return PARLINO_SYSTEM_DIR; }

}  // namespace plat
