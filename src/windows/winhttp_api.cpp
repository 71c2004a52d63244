#include "windows/winhttp_api.h"

namespace {

template <typename F>
bool resolve(HMODULE lib, const char *name, F *out) {
  *out = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib, name)));
  return *out != nullptr;
}

winhttp_api load() {
  winhttp_api a{};
  // From the system folder only: a winhttp.dll beside the program or in the
  // working folder is never taken.
  HMODULE lib = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!lib) return a;
  bool ok = resolve(lib, "WinHttpOpen", &a.open) &&
            resolve(lib, "WinHttpSetTimeouts", &a.set_timeouts) &&
            resolve(lib, "WinHttpConnect", &a.connect) &&
            resolve(lib, "WinHttpOpenRequest", &a.open_request) &&
            resolve(lib, "WinHttpSetOption", &a.set_option) &&
            resolve(lib, "WinHttpQueryOption", &a.query_option) &&
            resolve(lib, "WinHttpSetStatusCallback", &a.set_status_callback) &&
            resolve(lib, "WinHttpAddRequestHeaders", &a.add_request_headers) &&
            resolve(lib, "WinHttpSendRequest", &a.send_request) &&
            resolve(lib, "WinHttpReceiveResponse", &a.receive_response) &&
            resolve(lib, "WinHttpQueryHeaders", &a.query_headers) &&
            resolve(lib, "WinHttpQueryDataAvailable", &a.query_data_available) &&
            resolve(lib, "WinHttpReadData", &a.read_data) &&
            resolve(lib, "WinHttpCloseHandle", &a.close_handle);
  if (!ok) a.open = nullptr;
  return a;
}

}  // namespace

const winhttp_api *winhttp_api_get() {
  static const winhttp_api api = load();
  return api.open ? &api : nullptr;
}
