// Any bytes as a caller's path: splitting it and judging its spelling never reads or writes out
// of bounds, and what the split gives is one plain component under a parent that, joined back,
// names the same place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "shred_core.h"

namespace {

// Exactly the sizes the library passes, so an overflow lands in the sanitizer's red zone.
constexpr size_t kParentSize = OS_PATH_MAX;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  const char* text = path.c_str();

  auto* parent = static_cast<char*>(std::malloc(kParentSize));
  auto* name = static_cast<char*>(std::malloc(OS_NAME_MAX));
  bool trailing = false;
  if (os_split_path(text, parent, kParentSize, name, OS_NAME_MAX, &trailing)) {
    if (std::strlen(parent) >= kParentSize || std::strlen(name) >= OS_NAME_MAX) std::abort();
    if (parent[0] == '\0') std::abort();  // "." stands for no directory part
    for (const char* c = name; *c != '\0'; ++c) {
      if (os_is_separator(*c)) std::abort();
    }
    // The name is the path's last component, as spelled.
    const std::string spelled(text);
    if (name[0] != '\0' && spelled.find(name) == std::string::npos) std::abort();
  }
  std::free(parent);
  std::free(name);

  // The spelling checks only read; they set the last error or leave it.
  (void)shred_check_spelling(text, false);
  (void)shred_check_spelling(text, true);
  return 0;
}
