/* The public header compiled as C99 against the shared library, as a C caller would use it.
 * Runs in a fresh process, so it also sees the texts as they stand at load time. */
#include <stdio.h>
#include <string.h>

#include "kelvarin_shred.h"

static int failures = 0;
static int checks = 0;

static void check(int ok, const char* what) {
  ++checks;
  if (!ok) {
    ++failures;
    fprintf(stderr, "FAILED: %s\n", what);
  }
}

int main(void) {
  const char* error = shred_last_error();
  const char* stats = shred_stats_json();
  check(strcmp(error, "No error") == 0, "last error at load is \"No error\"");
  check(strcmp(stats,
                "{\"files_shredded\":0,\"bytes_overwritten\":0,\"passes_completed\":0,"
                "\"duration_ms\":0}") == 0,
        "statistics at load are all zero");
  check(error == shred_last_error() && stats == shred_stats_json(), "fixed addresses");

  check(strcmp(shred_method_name(SHRED_METHOD_QUICK), "Quick (1-pass)") == 0, "quick name");
  check(strcmp(shred_method_name(SHRED_METHOD_GUTMANN), "Gutmann (35-pass)") == 0,
        "gutmann name");
  check(strcmp(shred_method_name(-1), "Unknown") == 0, "unknown name");
  check(shred_method_passes(SHRED_METHOD_DOD_7PASS) == 7, "dod7 passes");
  check(shred_method_passes(SHRED_METHOD_CUSTOM) == 0, "custom passes");
  check(shred_method_passes(5) == 1, "unknown passes");
  check(SHRED_MAX_CUSTOM_PASSES == 100 && SHRED_JOB_FAILED == -1 && SHRED_JOB_SUCCEEDED == 1,
        "constants");

  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
