// A CGI program for the engine's process tests: its engine settings and
// what its handler does come from PROBE_* environment variables.
#include "adapters/CgiSEng.h"
#include "engine/GenEng.h"
#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

namespace {

bool Flag(const char* name) { return plat::GetEnv(name) == "1"; }

class TProbeForm : public plat::TForm {
 public:
  explicit TProbeForm(plat::TComponent* owner) : plat::TForm(owner) {
    engine = new TGeneralHttpEngine(this);
    if (!plat::GetEnv("PROBE_LIMIT").empty()) engine->SetAutoReadLimit(std::stoi(plat::GetEnv("PROBE_LIMIT")));
    engine->SetBufferedOutput(Flag("PROBE_BUFFERED"));
    engine->SetNoCache(Flag("PROBE_NOCACHE"));
    engine->SetTempDir(plat::GetEnv("PROBE_TEMPDIR"));
    if (plat::GetEnv("PROBE_AUTOHEADER") == "0") engine->SetAutoHttpHeader(false);
    if (plat::GetEnv("PROBE_AUTOREAD") == "0") engine->SetAutoReadInput(false);
    engine->SetOnExecRequest([this](TObject*) { Handle(); });
    if (!Flag("PROBE_NOERRORHANDLER")) {
      engine->SetOnRequestError([](TObject*, const plat::Exception& e) {
        HttpWriteLn("<html><body>" + e.Message() + "</body></html>");
      });
    }
  }

 private:
  void Handle() {
    const std::string mode = plat::GetEnv("PROBE_MODE");
    if (mode == "nothing") return;
    if (mode == "letter") {
      HttpWrite("plain text");
      return;
    }
    if (mode == "letterthrow") {
      HttpWrite("plain text");
      throw plat::Exception("after text");
    }
    if (mode == "blanks") {
      HttpWrite("  \t<p>x</p>");
      return;
    }
    if (mode == "throw") throw plat::Exception("boom");
    if (mode == "cookie") {
      HttpWriteHeader("set-cookie", "a=1");
      HttpWrite("<p>x</p>");
      return;
    }
    if (mode == "location") {
      HttpWriteHeader("Location", "/elsewhere");
      engine->EndHeader();
      return;
    }
    if (mode == "gif") {
      SetImageType(2);
      HttpWriteData("GIF89a", 6);
      return;
    }
    if (mode == "ownheader") {
      HttpWriteHeader("X-Probe", "1");
      engine->EndHeader();
      HttpWrite("<p>x</p>");
      return;
    }
    if (mode == "big") {
      HttpWrite("<p>" + std::string(200000, 'x') + "</p>");
      return;
    }
    if (mode == "files") {
      // Lists the uploads and fails afterwards, so the clean-up after a
      // failed handler can be seen.
      for (const std::string& name : engine->GetFieldNames()) {
        std::string value;
        engine->GetField(name, "", value);
        HttpWriteLn(name + "=" + value);
      }
      throw plat::Exception("after files");
    }
    HttpWriteLn("<fields>");
    for (const std::string& name : engine->GetFieldNames()) {
      std::string value;
      engine->GetField(name, "", value);
      HttpWriteLn(name + "=" + value);
    }
    HttpWrite("</fields>");
  }

  TGeneralHttpEngine* engine;
};

}  // namespace

int main(int argc, char** argv) {
  plat::SetCommandLine(argc, argv);
  InitHttpEngine();
  CgiStdEngineStartup();
  plat::Application().CreateForm<TProbeForm>();
  plat::Application().Run();
  return 0;
}
