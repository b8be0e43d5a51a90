// The Win32 library search and binding, run under the real loader, registry
// and environment of the system (Wine on the build machine), with stand-in
// libraries of versions 238.8 and 238.9.

#include <windows.h>
#include <shlobj.h>
// windows.h names StartService as a macro; the binding has a member of that name.
#undef StartService

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device/mobile_device_binding.h"
#include "device/mobile_device_loader.h"
#include "device/mobile_device_loader_win.h"
#include "device/platform/platform_win.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kSharedKey = L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";
constexpr const wchar_t* kSupportKey = L"SOFTWARE\\Apple Inc.\\Apple Application Support";

// The build names its outputs by their paths on the build machine; the
// system reaches that file system through drive Z:.
std::string Native(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::wstring Environment(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  std::wstring value(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
  value.resize(length < needed ? length : 0);
  return value;
}

void SetMachineString(const wchar_t* key, const wchar_t* name, const std::string& value) {
  HKEY opened = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr),
      ERROR_SUCCESS);
  const std::wstring wide = Widen(value);
  RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                 static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
}

void DeleteMachineString(const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_WRITE, &opened) != ERROR_SUCCESS) return;
  RegDeleteValueW(opened, name);
  RegCloseKey(opened);
}

std::string CommonFiles() {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, buffer))) return {};
  return CutAtNul(buffer, MAX_PATH);
}

// Each case starts in an empty current folder, with no registry values and
// PATH as it was, and leaves them so.
class LoaderWinTest : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = Environment(L"path");
    previous_ = fs::current_path();
    fs::current_path(Native(folder_.Path()));
    Clear();
  }
  void TearDown() override {
    fs::current_path(previous_);
    Clear();
    SetEnvironmentVariableW(L"path", path_.c_str());
  }
  static void Clear() {
    DeleteMachineString(kSharedKey, L"iTunesMobileDevice.dll");
    DeleteMachineString(kSupportKey, L"InstallDir");
    std::error_code ec;
    if (!CommonFiles().empty()) fs::remove_all(Widen(CommonFiles() + "\\Apple"), ec);
  }
  // A copy of a stand-in library under its real name in a folder of the test.
  std::string Place(const char* built, const std::string& folder) {
    fs::create_directories(Native(folder));
    const fs::path source = Native(built);
    const fs::path target = fs::path(Native(folder)) / source.filename();
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target.string();
  }

  testing::TTempDir folder_;
  testing::TTempDir elsewhere_;
  std::wstring path_;
  fs::path previous_;
};

TEST_F(LoaderWinTest, FileVersionsSelectTheMode) {
  EXPECT_EQ(FileVersion(Native(QUILL_FAKE_LEGACY_DEVICE)), 0xEE0008u);
  EXPECT_EQ(FileVersion(Native(QUILL_FAKE_MODERN_DEVICE)), 0xEE0009u);
  // No version information counts as the newest.
  EXPECT_EQ(FileVersion(Native(QUILL_FAKE_CORE_FOUNDATION)), 0xFFFFFFFFu);
  EXPECT_EQ(FileVersion(elsewhere_ / "missing.dll"), 0xFFFFFFFFu);
}

TEST_F(LoaderWinTest, NothingInstalledIsNotFound) {
  std::string device, cf;
  bool modern = true;
  EXPECT_FALSE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(Environment(L"path"), path_);
}

TEST_F(LoaderWinTest, TheCurrentFolderComesFirstByBareNamesAndLeavesPathAlone) {
  Place(QUILL_FAKE_MODERN_DEVICE, folder_.Path());
  // A registered library elsewhere is not looked at.
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll",
                   Place(QUILL_FAKE_LEGACY_DEVICE, elsewhere_.Path()));
  std::string device, cf;
  bool modern = false;
  ASSERT_TRUE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(device, "iTunesMobileDevice.dll");
  EXPECT_EQ(cf, "CoreFoundation.dll");
  EXPECT_TRUE(modern);
  EXPECT_EQ(Environment(L"path"), path_);
}

TEST_F(LoaderWinTest, TheRegistryNamesTheLibraryAndPathGainsTheVendorFolders) {
  const std::string placed = Place(QUILL_FAKE_LEGACY_DEVICE, elsewhere_.Path());
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll", placed);
  std::string device, cf;
  bool modern = true;
  ASSERT_TRUE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(device, placed);
  EXPECT_FALSE(modern) << "238.8 is a legacy library";
  EXPECT_EQ(cf, "") << "legacy mode loads no CoreFoundation";
  const std::string path = Narrow(Environment(L"path"));
  EXPECT_EQ(path.rfind(Narrow(path_), 0), 0u) << "the old value comes first";
  EXPECT_NE(path.find(";"), std::string::npos);
  EXPECT_NE(path.find("\\Apple\\Mobile Device Support\\bin\\;"), std::string::npos) << path;
  EXPECT_NE(path.find("\\Apple\\Apple Application Support\\"), std::string::npos) << path;
}

TEST_F(LoaderWinTest, TheCommonProgramFilesComeBeforeTheRegistry) {
  const std::string common = CommonFiles();
  ASSERT_FALSE(common.empty());
  const std::string support = common + "\\Apple\\Mobile Device Support";
  const std::string bin = support + "\\bin";
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll",
                   Place(QUILL_FAKE_LEGACY_DEVICE, elsewhere_.Path()));
  Place(QUILL_FAKE_LEGACY_DEVICE, bin);
  std::string device, cf;
  bool modern = true;
  ASSERT_TRUE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(device, bin + "\\iTunesMobileDevice.dll") << "bin comes before the registry";
  Place(QUILL_FAKE_LEGACY_DEVICE, support);
  ASSERT_TRUE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(device, support + "\\iTunesMobileDevice.dll") << "the folder itself comes first";
}

TEST_F(LoaderWinTest, AModernLibraryNeedsCoreFoundation) {
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll",
                   Place(QUILL_FAKE_MODERN_DEVICE, elsewhere_.Path()));
  std::string device, cf;
  bool modern = false;
  EXPECT_FALSE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_TRUE(modern);
  EXPECT_EQ(Environment(L"path"), path_) << "PATH changes only on success";

  const std::string support = elsewhere_ / "support";
  Place(QUILL_FAKE_CORE_FOUNDATION, support);
  SetMachineString(kSupportKey, L"InstallDir", Native(support));
  ASSERT_TRUE(LocateMobileDeviceLibrary(device, cf, modern));
  EXPECT_EQ(cf, Native(support) + "\\CoreFoundation.dll");
}

TEST_F(LoaderWinTest, ALegacyBindingPassesTheConstantStringRecord) {
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll",
                   Place(QUILL_FAKE_LEGACY_DEVICE, elsewhere_.Path()));
  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load());
  EXPECT_FALSE(binding.ModernMode());
  EXPECT_EQ(binding.Version(), 0xEE0008u);
  EXPECT_TRUE(binding.Load()) << "a second load answers at once";
  void* service = nullptr;
  EXPECT_EQ(binding.StartService(nullptr, "com.apple.afc", &service), 0);

  // Read back what the library received.
  HMODULE module = GetModuleHandleW(Widen(binding.LibraryPath()).c_str());
  ASSERT_NE(module, nullptr);
  using TRecord = std::size_t (*)(std::uint8_t*, std::size_t);
  auto record = reinterpret_cast<TRecord>(FindSymbol(module, "FakeLastLegacyRecord"));
  ASSERT_NE(record, nullptr);
  std::vector<std::uint8_t> bytes(64);
  bytes.resize(record(bytes.data(), bytes.size()));
  ASSERT_EQ(bytes.size(), 23u);
  EXPECT_EQ(bytes[8], 13);
  EXPECT_EQ(std::string(bytes.begin() + 9, bytes.begin() + 22), "com.apple.afc");
  EXPECT_EQ(bytes[22], 0);
  binding.Unload();
}

TEST_F(LoaderWinTest, AModernBindingTakesTheStringMakerFromCoreFoundation) {
  SetMachineString(kSharedKey, L"iTunesMobileDevice.dll",
                   Place(QUILL_FAKE_MODERN_DEVICE, elsewhere_.Path()));
  const std::string support = elsewhere_ / "support";
  Place(QUILL_FAKE_CORE_FOUNDATION, support);
  SetMachineString(kSupportKey, L"InstallDir", Native(support));
  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load());
  EXPECT_TRUE(binding.ModernMode());
  ASSERT_NE(binding.Api().CFStringMakeConstantString, nullptr);
  void* service = nullptr;
  EXPECT_EQ(binding.StartService(nullptr, "com.apple.afc", &service), 0);
  HMODULE module = GetModuleHandleW(Widen(binding.LibraryPath()).c_str());
  ASSERT_NE(module, nullptr);
  using TLast = const void* (*)();
  auto last = reinterpret_cast<TLast>(FindSymbol(module, "FakeLastServiceName"));
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(static_cast<const char*>(last()), "com.apple.afc")
      << "the library got CoreFoundation's reference, not a record";
  binding.Unload();
}

}  // namespace
}  // namespace quill
