/* The least a CGI program can do: print one fixed page. The page is compiled
   in from cgi_minimal_page.h, which tools/bench.sh generates. */
#include <unistd.h>

#include "cgi_minimal_page.h"

static int write_all(const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(1, p, n);
    if (w <= 0) return 1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

int main(void) {
  static const char header[] = "Content-Type: text/html\r\n\r\n";
  if (write_all(header, sizeof header - 1)) return 1;
  return write_all(page, sizeof page - 1);
}
