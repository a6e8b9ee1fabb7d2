// The main window: it holds the forum's components with their property
// values and the handlers that connect them.
#pragma once
#include "engine/GenEng.h"
#include "platform/PlatComponents.h"

class TForm1 : public plat::TForm {
 public:
  explicit TForm1(plat::TComponent* owner);

  TGeneralHttpEngine* GeneralHttpEngine1 = nullptr;

  void GeneralHttpEngine1ExecRequest(TObject* Sender);
  void GeneralHttpEngine1RequestError(TObject* Sender, const plat::Exception& ErrorReason);
};
