#include "engine/HUtils.h"

THttpFunctionTable& HttpFunctions() {
  static THttpFunctionTable table;
  return table;
}
