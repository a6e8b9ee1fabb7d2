// Listening sockets a FastCGI start opens or is handed. (Workers woken
// from their accept to stop: the FastCGI forum's SIGTERM test.)
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/PlatWorkers.h"

// A port the kernel finds free now.
std::string FreePort() {
  sockaddr_in name{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof name;
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  bind(s, reinterpret_cast<sockaddr*>(&name), size), getsockname(s, reinterpret_cast<sockaddr*>(&name), &size), close(s);
  return std::to_string(ntohs(name.sin_port));
}

TEST(ListeningSocket, OpensEachKindOfAddressAndRefusesWhatIsNone) {
  const std::string path = ::testing::TempDir() + "plat-workers.sock";
  const struct { std::string address; bool opens; } cases[] = {
      {"127.0.0.1:0", false}, {"127.0.0.1:65536", false}, {"127.0.0.1:8x", false}, {"127.0.0.1:", false},
      {"example.org:9000", false}, {"[::1:9000", false}, {"[]:9000", false}, {"/" + std::string(107, 'x'), false},
      {"127.0.0.1:{P}", true}, {"localhost:{P}", true}, {":{P}", true}, {"[::1]:{P}", true}, {path, true}, {path, true}};
  for (const auto& c : cases) {
    std::string address = c.address, error;
    if (const size_t at = address.find("{P}"); at != std::string::npos) address.replace(at, 3, FreePort());
    const int handle = plat::OpenListeningSocket(address, error);
    // Opened is listening; refused is -1, which is no listening socket either.
    EXPECT_EQ((handle >= 0) + plat::IsListeningSocket(handle), 2 * c.opens) << address << error;
    // The second open of the path finds the first one's socket file stale.
    if (handle >= 0) close(handle);
  }
  // A socket that does not listen is none: a web server may give a CGI
  // program one as its input.
  const int other = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_FALSE(plat::IsListeningSocket(other));
  close(other);
  unlink(path.c_str());
}
