/* The public header compiled as C89 (ISO C90) with pedantic errors; see header_cxx98_test.cpp. */
#include <string.h>

#include "kelvarin_shred.h"

int header_c89_check(void) {
  char buffer[16];
  int32_t length;
  if (strcmp(shred_method_name(SHRED_METHOD_QUICK), "Quick (1-pass)") != 0) return 1;
  /* The snprintf-like contract: a NULL path fails before anything is written. */
  length = shred_assess(NULL, buffer, (int32_t)sizeof buffer);
  return length == -1 ? 0 : 1;
}
