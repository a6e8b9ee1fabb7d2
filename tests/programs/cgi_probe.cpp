// A CGI program for the engine's process tests, and built as a library the
// server's ISAPI test module. Its engine settings and what its handlers do
// come from PROBE_* environment variables.
#include <sstream>

#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "adapters/FcgiEng.h"
#include "adapters/IsapiEng.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatThreads.h"

namespace {

std::string Env(const char* name) { return plat::GetEnv(name); }
bool Flag(const char* name) { return Env(name) == "1"; }

class TProbeForm : public plat::TForm {
 public:
  explicit TProbeForm(plat::TComponent* owner) : plat::TForm(owner) {
    auto* engine = new TGeneralHttpEngine(this);
    engine->CGIMode = static_cast<TCGIMode>(std::atoi(Env("PROBE_MODE").c_str()));
    engine->SetBufferedOutput(Flag("PROBE_BUFFERED"));
    engine->SetNoCache(Flag("PROBE_NOCACHE"));
    engine->SetTempDir(Env("PROBE_TEMPDIR"));
    if (Env("PROBE_AUTOHEADER") == "0") engine->SetAutoHttpHeader(false);
    engine->SetOnExecRequest([this](TObject*) { Handle(); });
    engine->SetOnRequestError(
        [](TObject*, const plat::Exception& e) { HttpWriteLn("<html><body>" + e.Message() + "</body></html>"); });
    engine->OnIsapiExtensionVersion = [](unsigned&, std::string&, bool&) {
      if (Env("PROBE_EXTVERSION") == "throw") throw plat::Exception("no version");
    };
    engine->OnIsapiFilterVersion = [](unsigned&, unsigned&, std::string&, unsigned& flags, bool&) {
      if (Env("PROBE_EXTVERSION") == "throw") throw plat::Exception("no version");
      flags = SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_SEND_RAW_DATA;
    };
    engine->OnIsapiFilterProc = [this](THTTP_FILTER_CONTEXT&, unsigned, void*, unsigned&) {
      ListFields();
      HttpWrite("<cookie>" + HttpCookieString());
    };
  }

 private:
  // Writes, in this order: a header field "name:value", text, the
  // body as the handler reads it itself, variables by name. Given none of
  // them, it lists the request's fields. Then it raises PROBE_THROW.
  void Handle() {
    const std::string header = Env("PROBE_HEADER"), text = Env("PROBE_TEXT"), vars = Env("PROBE_VARS");
    const int read = std::atoi(Env("PROBE_READ").c_str());
    if (!header.empty()) HttpWriteHeader(header.substr(0, header.find(':')), header.substr(header.find(':') + 1));
    if (!text.empty()) HttpWrite(text);
    if (read > 0) {
      std::string body(read, '\0');
      const int got = HttpReadClient(body.data(), read);
      HttpWrite("<read " + std::to_string(got) + ">" + body.substr(0, std::max(got, 0)));
    }
    std::istringstream names(vars);
    for (std::string name; std::getline(names, name, ',');) HttpWriteLn("<" + name + ">" + HttpGetVariable(name));
    if (header.empty() && text.empty() && vars.empty() && read == 0) ListFields();
    if (!Env("PROBE_SLEEP").empty()) plat::SleepMs(std::stoi(Env("PROBE_SLEEP")));
    if (!Env("PROBE_THROW").empty()) throw plat::Exception(Env("PROBE_THROW"));
    // Not an exception of the runtime: the request wrapper lets it pass.
    if (!Env("PROBE_ESCAPE").empty()) throw Env("PROBE_ESCAPE");
  }

  void ListFields() {
    HttpWriteLn("<fields>");
    for (const std::string& name : RequiredEngine().GetFieldNames()) {
      std::string value = HttpGetField(name, ""), content;
      // An upload shows as its directory and content: its name is random.
      if (name.ends_with("_FILENAME") && plat::ReadWholeFile(value, content))
        value = plat::ExtractFileDir(value) + ": " + content;
      HttpWriteLn(name + "=" + value);
    }
    HttpWrite("</fields>");
  }
};

}  // namespace

#ifdef PARLINO_MODULE
__attribute__((constructor)) static void LoadLibrary() {
  IsapiLibraryStartup("probe", [] { plat::Application().CreateForm<TProbeForm>(); });
}
#else
int main(int argc, char** argv) {
  plat::SetCommandLine(argc, argv);
  InitHttpEngine();
  FcgiEngineStartup();
  CgiStdEngineStartup();
  CgiWinEngineStartup();
  plat::Application().CreateForm<TProbeForm>();
  plat::Application().Run();
  // FastCGI workers end here, while every static object they may use lives.
  StopFastCgi();
  return 0;
}
#endif
