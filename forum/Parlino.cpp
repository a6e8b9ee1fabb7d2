// The program's roots: the CGI program's entry (the engine core's and the
// CGI engines' start-up steps, then the application with its main window,
// whose loading serves the request) and, built as a loaded library, the
// library's start-up, run by the loader.
#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "adapters/FcgiEng.h"
#include "adapters/IsapiEng.h"
#include "engine/HttpEng.h"
#include "forum/ParlinoF.h"
#include "platform/PlatProcess.h"

constexpr const char* Title = "Orvane - Parlino";

#ifdef PARLINO_MODULE

// Runs inside dlopen, before the server can call an entry point. The
// application object, and with it the window and the engines, is freed
// when the library is unloaded or the process ends.
__attribute__((constructor)) static void LoadLibrary() {
  IsapiLibraryStartup(Title, [] { plat::Application().CreateForm<TForm1>(); });
}

#else

int main(int argc, char** argv) {
  plat::SetCommandLine(argc, argv);
  InitHttpEngine();
  FcgiEngineStartup();
  CgiStdEngineStartup();
  CgiWinEngineStartup();
  plat::TApplication& application = plat::Application();
  application.Initialize();
  application.Title = Title;
  application.CreateForm<TForm1>();
  application.Run();
  // FastCGI workers end here, while every static object they may use lives.
  StopFastCgi();
  return 0;
}

#endif
