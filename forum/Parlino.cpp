// The program's entry: the engine core's and the CGI engine's start-up steps,
// then the application with its main window, whose loading serves the request.
#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "engine/HttpEng.h"
#include "forum/ParlinoF.h"
#include "platform/PlatProcess.h"

int main(int argc, char** argv) {
  plat::SetCommandLine(argc, argv);
  InitHttpEngine();
  CgiStdEngineStartup();
  CgiWinEngineStartup();
  plat::TApplication& application = plat::Application();
  application.Initialize();
  application.Title = "Orvane - Parlino";
  application.CreateForm<TForm1>();
  application.Run();
  return 0;
}
