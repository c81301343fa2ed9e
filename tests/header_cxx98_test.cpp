// The public header as a C++98 caller and a C89 caller see it (this file and header_c89_test.c,
// built with -std=c++98 / -std=c90 and pedantic errors). Building them is most of the test;
// running them checks that both reach the shared library's unmangled names.
#include <stdio.h>
#include <string.h>

#include "kelvarin_shred.h"

extern "C" int header_c89_check(void);

int main() {
  int failures = 0;
  if (strcmp(shred_method_name(SHRED_METHOD_GUTMANN), "Gutmann (35-pass)") != 0 ||
      shred_method_passes(SHRED_METHOD_DOD_7PASS) != 7) {
    fprintf(stderr, "FAILED: the catalogue from C++98\n");
    ++failures;
  }
  if (shred_file("", SHRED_METHOD_QUICK) != -1 || strcmp(shred_last_error(), "No error") == 0) {
    fprintf(stderr, "FAILED: a refused call from C++98 leaves no message\n");
    ++failures;
  }
  if (header_c89_check() != 0) {
    fprintf(stderr, "FAILED: the calls from C89\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
