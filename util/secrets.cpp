#include "util/secrets.h"

#include <string.h>
#include <sys/resource.h>

bool DisableCoreFiles() {
  const rlimit none{0, 0};
  return ::setrlimit(RLIMIT_CORE, &none) == 0;
}

void WipeText(std::string& text) {
  // Growing to the capacity writes zeros over the spare bytes; the rest is wiped here.
  text.resize(text.capacity());
  ::explicit_bzero(text.data(), text.size());
  text.clear();
}
