// WinHTTP, loaded on the first delivery of a process. Importing it would cost
// every start (most invocations never send anything) the loading of WinHTTP
// and the libraries it pulls in, so the exchange loads winhttp.dll from the
// system folder and resolves the few functions it uses, as the POSIX build
// does with libcurl.
#pragma once

// Winsock before windows.h, which would bring in the old socket header.
#include <winsock2.h>
// (windows.h after)
#include <windows.h>
#include <winhttp.h>

struct winhttp_api {
  decltype(&::WinHttpOpen) open;
  decltype(&::WinHttpSetTimeouts) set_timeouts;
  decltype(&::WinHttpConnect) connect;
  decltype(&::WinHttpOpenRequest) open_request;
  decltype(&::WinHttpSetOption) set_option;
  decltype(&::WinHttpQueryOption) query_option;
  decltype(&::WinHttpSetStatusCallback) set_status_callback;
  decltype(&::WinHttpAddRequestHeaders) add_request_headers;
  decltype(&::WinHttpSendRequest) send_request;
  decltype(&::WinHttpReceiveResponse) receive_response;
  decltype(&::WinHttpQueryHeaders) query_headers;
  decltype(&::WinHttpQueryDataAvailable) query_data_available;
  decltype(&::WinHttpReadData) read_data;
  decltype(&::WinHttpCloseHandle) close_handle;
};

// The loaded table, or null when winhttp.dll or one of its functions is
// missing. Loads once per process.
const winhttp_api *winhttp_api_get();
