// The storage facts Windows gives for an assessment, and the assessment of an ordinary file
// through the exported function: both must read the file without ever being able to change it.
// Under Wine the file system is named (Wine says "NTFS" for its drives) but the medium stays
// unknown, because Wine's volumes do not answer the seek-penalty query.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::sample_content;
using test_util::TempDir;
using test_util::write_file;

// What a reading may not change: the contents and the times and attributes the system keeps.
struct file_state {
  std::vector<uint8_t> contents;
  WIN32_FILE_ATTRIBUTE_DATA data;
};

file_state state_of(const std::string& path) {
  file_state state{read_file(path), {}};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &state.data);
  return state;
}

void expect_unchanged(const file_state& before, const std::string& path) {
  const file_state after = state_of(path);
  EXPECT_EQ(before.contents, after.contents) << path;
  EXPECT_EQ(before.data.dwFileAttributes, after.data.dwFileAttributes) << path;
  EXPECT_EQ(before.data.ftLastWriteTime.dwLowDateTime, after.data.ftLastWriteTime.dwLowDateTime);
  EXPECT_EQ(before.data.ftLastWriteTime.dwHighDateTime, after.data.ftLastWriteTime.dwHighDateTime);
  EXPECT_EQ(before.data.nFileSizeLow, after.data.nFileSizeLow) << path;
}

// Holds a file open the way a program that shares nothing would.
class exclusive_hold {
 public:
  explicit exclusive_hold(const std::string& path)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~exclusive_hold() {
    if (held()) CloseHandle(handle_);
  }
  exclusive_hold(const exclusive_hold&) = delete;
  exclusive_hold& operator=(const exclusive_hold&) = delete;
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

std::string assess(const std::string& path) {
  const int32_t length = shred_assess(path.c_str(), nullptr, 0);
  if (length < 0) return "";
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int32_t again = shred_assess(path.c_str(), text.data(), length + 1);
  EXPECT_EQ(length, again) << path;
  text.resize(static_cast<size_t>(length));
  return text;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(AssessWin32Facts, AFileAndItsDirectoryAreReadWithoutWriteAccess) {
  TempDir temp;
  ASSERT_TRUE(temp.ok());
  const std::string file = temp / "ordinary.bin";
  write_file(file, sample_content(5000));
  const file_state before = state_of(file);

  uint32_t error = 0;
  os_directory dir(os_open_directory(temp.path().string().c_str(), &error));
  ASSERT_TRUE(dir.valid()) << "error " << error;

  os_storage facts{};
  ASSERT_TRUE(os_storage_facts(dir.get(), "ordinary.bin", &facts, &error)) << "error " << error;
  // Under Wine every host file system is called "NTFS", so the library names none there.
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  EXPECT_EQ(wine, facts.filesystem[0] == '\0') << facts.filesystem;
  EXPECT_EQ('\0', facts.mount_options[0]);
  EXPECT_FALSE(facts.remote);  // the temporary directory is on a local drive
  EXPECT_FALSE(facts.compressed);
  EXPECT_FALSE(facts.extents_known);  // Windows cannot tell shared or resident data cheaply
  EXPECT_FALSE(facts.shared_extents || facts.inline_data || facts.encoded_extents || facts.nocow);

  os_storage of_dir{};
  ASSERT_TRUE(os_storage_facts(dir.get(), "", &of_dir, &error)) << "error " << error;
  EXPECT_STREQ(facts.filesystem, of_dir.filesystem);  // one volume, one file system
  EXPECT_EQ(facts.medium, of_dir.medium);
  EXPECT_EQ(facts.remote, of_dir.remote);

  // A program that shares nothing does not stop the reading, which it would if the reading asked
  // for any access beyond the file's attributes.
  {
    exclusive_hold hold(file);
    ASSERT_TRUE(hold.held());
    os_storage held{};
    EXPECT_TRUE(os_storage_facts(dir.get(), "ordinary.bin", &held, &error)) << "error " << error;
    EXPECT_STREQ(facts.filesystem, held.filesystem);
  }
  expect_unchanged(before, file);
}

TEST(AssessWin32Facts, OnlyAnExistingEntryOfTheHeldDirectoryIsRead) {
  TempDir temp;
  ASSERT_TRUE(temp.ok());
  std::filesystem::create_directory(temp.path() / "sub");
  write_file(temp / "sibling.txt", "beside the held directory");
  uint32_t error = 0;
  os_directory dir(os_open_directory((temp / "sub").c_str(), &error));
  ASSERT_TRUE(dir.valid()) << "error " << error;

  os_storage facts{};
  error = 0;
  EXPECT_FALSE(os_storage_facts(dir.get(), "missing.bin", &facts, &error));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), error);
  // Names that would leave the held directory never reach the system.
  for (const char* name : {"..", ".", "..\\sibling.txt", "../sibling.txt"}) {
    error = 0;
    EXPECT_FALSE(os_storage_facts(dir.get(), name, &facts, &error)) << name;
    EXPECT_NE(0u, error) << name;
  }
}

// A file the file system compresses is reported as such; Wine keeps no compression, and there
// the case is skipped.
TEST(AssessWin32Facts, ACompressedFileIsReportedCompressed) {
  TempDir temp;
  ASSERT_TRUE(temp.ok());
  const std::string file = temp / "packed.bin";
  write_file(file, sample_content(64 * 1024));
  {
    const HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD returned = 0;
    DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned,
                    nullptr);
    CloseHandle(handle);
  }
  const DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_COMPRESSED) == 0) {
    GTEST_SKIP() << "this file system does not compress files (Wine does not)";
  }
  uint32_t error = 0;
  os_directory dir(os_open_directory(temp.path().string().c_str(), &error));
  ASSERT_TRUE(dir.valid()) << "error " << error;
  os_storage facts{};
  ASSERT_TRUE(os_storage_facts(dir.get(), "packed.bin", &facts, &error)) << "error " << error;
  EXPECT_TRUE(facts.compressed);
  const std::string json = assess(file);
  EXPECT_TRUE(contains(json, "\"in_place\":\"no\"")) << json;
  EXPECT_TRUE(contains(json, "\"code\":\"compressed\"")) << json;
}

TEST(AssessWin32Export, AnOrdinaryFileIsAssessedAndLeftAsItWas) {
  TempDir temp;
  ASSERT_TRUE(temp.ok());
  const std::string file = temp / "ordinary.bin";
  write_file(file, sample_content(5000));
  const file_state before = state_of(file);

  const std::string json = assess(file);
  ASSERT_FALSE(json.empty()) << shred_last_error();
  for (const char* member : {"\"filesystem\":", "\"in_place\":", "\"reasons\":[", "\"medium\":"}) {
    EXPECT_TRUE(contains(json, member)) << member << " missing from " << json;
  }
  // The document names the file system the platform layer reads, and never a network for a file
  // on a local drive.
  uint32_t error = 0;
  os_directory dir(os_open_directory(temp.path().string().c_str(), &error));
  ASSERT_TRUE(dir.valid()) << "error " << error;
  os_storage facts{};
  ASSERT_TRUE(os_storage_facts(dir.get(), "ordinary.bin", &facts, &error));
  EXPECT_TRUE(contains(json, std::string("\"filesystem\":\"") + facts.filesystem + "\"")) << json;
  EXPECT_FALSE(contains(json, "\"network\"")) << json;
  expect_unchanged(before, file);

  // Held by a program that shares nothing, the file is still assessed, and still not changed.
  {
    exclusive_hold hold(file);
    ASSERT_TRUE(hold.held());
    EXPECT_GT(shred_assess(file.c_str(), nullptr, 0), 0) << shred_last_error();
  }
  expect_unchanged(before, file);

  EXPECT_EQ(-1, shred_assess((temp / "missing.bin").c_str(), nullptr, 0));
}

}  // namespace
