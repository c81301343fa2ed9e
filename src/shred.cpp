// The top floor: the lifecycle, the method catalogue's names and every exported entry point of
// the files, trees and free-space functions. Nothing below calls up into it.
#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_async.h"
#include "shred_core.h"
#include "shred_dir.h"
#include "shred_free_space.h"
#include "shred_patterns.h"
#include "shred_report.h"

// The readers hand out a copy in a buffer of the calling thread, which stays valid until that
// thread reads the same text again.
extern "C" const char* shred_last_error(void) noexcept {
  static thread_local char copy[SHRED_LAST_ERROR_SIZE];
  shred_copy_last_error(copy, sizeof copy);
  return copy;
}

extern "C" const char* shred_stats_json(void) noexcept {
  static thread_local char copy[SHRED_STATS_JSON_SIZE];
  shred_copy_stats_json(copy, sizeof copy);
  return copy;
}

extern "C" const char* shred_method_name(shred_method method) noexcept {
  switch (method) {
    case SHRED_METHOD_QUICK:
      return "Quick (1-pass)";
    case SHRED_METHOD_DOD_3PASS:
      return "DOD 5220.22-M (3-pass)";
    case SHRED_METHOD_DOD_7PASS:
      return "DOD 5220.22-M (7-pass)";
    case SHRED_METHOD_GUTMANN:
      return "Gutmann (35-pass)";
    case SHRED_METHOD_CUSTOM:
      return "Custom";
    default:
      return "Unknown";
  }
}

extern "C" int32_t shred_method_passes(shred_method method) noexcept {
  return shred_catalogue_passes(method);
}

extern "C" int32_t shred_file(const char* path, shred_method method) noexcept {
  shred_clear_error();
  // An out-of-range method runs as itself.
  return shred_file_internal(path, method, shred_passes_to_run(method), nullptr);
}

extern "C" int32_t shred_file_custom(const char* path, int32_t passes) noexcept {
  shred_clear_error();
  if (passes < 1 || passes > SHRED_MAX_CUSTOM_PASSES) {
    shred_set_error("Invalid passes count for custom shred: %d (must be between 1 and %d)", passes,
                    SHRED_MAX_CUSTOM_PASSES);
    return -1;
  }
  return shred_file_internal(path, SHRED_METHOD_CUSTOM, passes, nullptr);
}

extern "C" int32_t shred_directory(const char* path, shred_method method) noexcept {
  shred_clear_error();
  return shred_dir_internal(path, method, shred_passes_to_run(method), 0, nullptr);
}

extern "C" int32_t shred_directory_recursive(const char* path, shred_method method) noexcept {
  shred_clear_error();
  return shred_dir_internal(path, method, shred_passes_to_run(method), 1, nullptr);
}

extern "C" int32_t shred_free_space(const char* directory, shred_method method) noexcept {
  shred_clear_error();
  shred_target target{};
  shred_resolve(directory, &target);
  os_directory parent(target.parent);
  return shred_free_space_resolved(directory, target, method, shred_passes_to_run(method),
                                   nullptr);
}

extern "C" int32_t shred_init(void) noexcept {
  shred_clear_error();
  shred_record_stats(0, 0, 0, 0);
  // The random source keeps no state and needs no set-up; only the job table is reset.
  shred_async_init();
  return 0;
}

extern "C" void shred_cleanup(void) noexcept { shred_async_cleanup(); }
