#include "test_platform.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace vdtest {

namespace {

std::filesystem::path wide(const std::string &utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

// Wide, as Windows keeps the environment: a UTF-8 value reaches the program
// as the same letters (the narrow call would read it in the ANSI code page).
// An empty value removes the variable, as the runtime's putenv does.
void set_env(const std::string &name, const char *value) {
  std::wstring n = wide(name).wstring(), v = wide(value ? value : "").wstring();
  _wputenv_s(n.c_str(), v.c_str());
  SetEnvironmentVariableW(n.c_str(), v.empty() ? nullptr : v.c_str());
}

std::string make_temp_dir() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    std::filesystem::path p = base / ("vd_store_" + std::to_string(rd()));
    if (std::filesystem::create_directory(p, ec)) {
      std::u8string s = p.generic_u8string();
      return std::string(s.begin(), s.end());
    }
  }
  return {};
}

void remove_tree(const std::string &dir) {
  std::error_code ec;
  std::filesystem::remove_all(wide(dir), ec);
}

bool write_file(const std::string &path, const std::string &bytes) {
  FILE *f = _wfopen(wide(path).c_str(), L"wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

void make_dir(const std::string &path) {
  std::error_code ec;
  std::filesystem::create_directory(wide(path), ec);
}

bool path_exists(const std::string &path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

long peak_memory_kib(pid_t pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                         static_cast<DWORD>(pid));
  if (!h) return -1;
  PROCESS_MEMORY_COUNTERS c{};
  BOOL ok = GetProcessMemoryInfo(h, &c, sizeof c);
  CloseHandle(h);
  return ok ? static_cast<long>(c.PeakWorkingSetSize / 1024) : -1;
}

}  // namespace vdtest
