#include "platform/PlatExcept.h"

namespace plat {

// The literals are split so that a hex escape never swallows the next letter.
EConvertError::EConvertError(const std::string& text)
    : Exception("'" + text + "' ist kein g\xFC" "ltiger Integerwert") {}

EFOpenError::EFOpenError(const std::string& fileName)
    : Exception("Datei " + fileName + " kann nicht ge\xF6" "ffnet werden") {}

EFCreateError::EFCreateError(const std::string& fileName)
    : Exception("Datei " + fileName + " kann nicht erstellt werden") {}

}  // namespace plat
