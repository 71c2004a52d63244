// What only the Windows build has: UTF-16 at the API boundary, the default
// store location, the header text handed to WinHTTP, the check of the
// address WinHTTP connected to, the store's lock and replacement under
// concurrent processes, the TLS versions a delivery accepts, and the
// program's manifest.
#include <gtest/gtest.h>
#include <winsock2.h>
// (windows.h after)
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bound_port.h"
#include "child_process.h"
#include "store_env.h"
#include "store_fs.h"
#include "wh_http.h"
#include "wh_url.h"
#include "windows/utf16.h"
#include "windows/winhttp_api.h"
#include "windows/winhttp_parts.h"

namespace {

TEST(Utf16, Conversions) {
  struct {
    const char *in;
    size_t cap;
    bool strict;
    int want;  // units, or -1
    std::wstring out;
  } cases[] = {
      {"C:\\Users\\x", 16, true, 10, L"C:\\Users\\x"},
      {"J\xC3\xBCrgen \xC3\x98rsted", 32, true, 13, L"J\u00FCrgen \u00D8rsted"},
      {"\xF0\x9F\x93\x81", 8, true, 2, L"\U0001F4C1"},  // a surrogate pair
      {"abcd", 5, true, 4, L"abcd"},                    // exactly fits with the NUL
      {"abcde", 5, true, -1, L""},                      // one unit short
      {"a\xC3", 8, true, -1, L""},                      // cut character: no file name
      {"a\xC3", 8, false, 2, L"a\uFFFD"},               // replaced for WinHTTP texts
      {"", 1, true, 0, L""},
  };
  for (const auto &c : cases) {
    std::vector<wchar_t> out(c.cap, L'#');
    EXPECT_EQ(wh_utf16(c.in, out.data(), c.cap, c.strict), c.want) << c.in;
    EXPECT_EQ(std::wstring(out.data()), c.out) << c.in;
  }
}

class WindowsStore : public StoreEnv {};

// The folder and file names reach the file calls as UTF-16: a user folder
// with letters outside the ANSI code page works.
TEST_F(WindowsStore, NonAsciiFolderRoundTrips) {
  std::string folder = dir + "/J\xC3\xBCrgen \xC3\x98rsted \xE6\x9D\xB1";
  use_path(folder + "\\nest/hooks.json");
  auto s = new_store();
  add_hook(s.get(), "a");
  char e[WH_ERR_CAP];
  ASSERT_EQ(wh_store_save(s.get(), e, sizeof e), 0) << e;
  std::wstring wide(folder.size() + 32, L'\0');
  ASSERT_GT(wh_utf16((folder + "\\nest\\hooks.json").c_str(), wide.data(), wide.size(), true), 0);
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(stored()->hook_count, 1);
  EXPECT_FALSE(file_exists(folder + "\\nest\\hooks.json.tmp"));
  EXPECT_TRUE(file_exists(folder + "\\nest\\hooks.json.lock"));
}

TEST_F(WindowsStore, ReplacesTheOldFileAndReportsAFailedMove) {
  auto s = new_store();
  add_hook(s.get(), "a");
  char e[WH_ERR_CAP];
  ASSERT_EQ(wh_store_save(s.get(), e, sizeof e), 0) << e;
  add_hook(s.get(), "b");
  ASSERT_EQ(wh_store_save(s.get(), e, sizeof e), 0) << e;
  EXPECT_EQ(stored()->hook_count, 2);
  // A folder in the file's place cannot be replaced: the old state stays and
  // the temporary file is gone.
  use_path(dir + "/nest/taken");
  vdtest::make_dir(path);
  ASSERT_EQ(wh_store_save(s.get(), e, sizeof e), -1);
  EXPECT_EQ(std::string(e).rfind("cannot replace " + path + ": ", 0), 0u) << e;
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

TEST_F(WindowsStore, DefaultLocation) {
  struct {
    const char *store, *local, *profile;
    std::string want;
  } cases[] = {
      {nullptr, "C:\\L", "C:\\P", "C:\\L\\kestrune\\connectors\\vavode_deveruz\\hooks.json"},
      {"", "C:\\L", nullptr, "C:\\L\\kestrune\\connectors\\vavode_deveruz\\hooks.json"},
      {nullptr, "", "C:\\P", "C:\\P\\.kestrune\\connectors\\vavode_deveruz\\hooks.json"},
      {nullptr, nullptr, nullptr, "hooks.json"},
      {"D:\\s\\h.json", "C:\\L", "C:\\P", "D:\\s\\h.json"},
  };
  // HOME and XDG_DATA_HOME are POSIX places; Windows does not look there.
  vdtest::set_env("HOME", "C:\\H");
  vdtest::set_env("XDG_DATA_HOME", "C:\\X");
  for (const auto &c : cases) {
    vdtest::set_env("WEBHOOK_STORE_PATH", c.store);
    vdtest::set_env("LOCALAPPDATA", c.local);
    vdtest::set_env("USERPROFILE", c.profile);
    char buf[1024];
    EXPECT_EQ(wh_store_path(buf, sizeof buf), static_cast<int>(c.want.size()));
    EXPECT_EQ(buf, c.want);
  }
}

// A reader elsewhere holds the store open while a save replaces it: the
// save waits for the reader (Wine refuses to replace an open file) or
// replaces it under the reader (Windows, which the reader lets delete it).
TEST_F(WindowsStore, SaveReplacesAFileThatIsBeingRead) {
  auto s = new_store();
  add_hook(s.get(), "a");
  char e[WH_ERR_CAP];
  ASSERT_EQ(wh_store_save(s.get(), e, sizeof e), 0) << e;
  unique_fd reader(store_fs_open_read(path.c_str()));
  ASSERT_TRUE(reader);
  std::thread release([&reader] {
    Sleep(300);
    reader.reset();
  });
  add_hook(s.get(), "b");
  int rc = wh_store_save(s.get(), e, sizeof e);
  release.join();
  EXPECT_EQ(rc, 0) << e;
  EXPECT_EQ(stored()->hook_count, 2);
}

wh_url parsed(const char *text) {
  wh_url u{};
  char err[256];
  EXPECT_EQ(wh_url_parse(text, &u, err, sizeof err), 0) << err;
  return u;
}

TEST(WinHttpHeaders, TextInUtf16) {
  wh_header h[2] = {};
  snprintf(h[0].name, sizeof h[0].name, "X-Name");
  snprintf(h[0].value, sizeof h[0].value, "J\xC3\xBCrgen \xE2\x82\xAC");
  snprintf(h[1].name, sizeof h[1].name, "host");  // the exchange's own
  snprintf(h[1].value, sizeof h[1].value, "evil");
  wh_url u = parsed("https://relay.example:8443/in?x=1");
  wchar_t out[2048];
  // The user agent right after Host, as libcurl sends it on Linux.
  std::wstring want =
      L"Host: relay.example:8443\r\nUser-Agent: ZAZIVIZODIR-webhook/1.0\r\nContent-Length: "
      L"3\r\nX-Name: J\u00FCrgen \u20AC\r\n";
  EXPECT_EQ(wh_winhttp_header_text(&u, "POST", h, 2, 3, out, 2048), static_cast<int>(want.size()));
  EXPECT_EQ(std::wstring(out), want);
  // The default port leaves the Host line bare; GET without a body has no
  // length line.
  wh_url d = parsed("http://relay.example/in");
  EXPECT_GT(wh_winhttp_header_text(&d, "GET", nullptr, 0, 0, out, 2048), 0);
  EXPECT_EQ(std::wstring(out), L"Host: relay.example\r\nUser-Agent: ZAZIVIZODIR-webhook/1.0\r\n");
  // A buffer too small for the text gives nothing rather than a cut line.
  EXPECT_EQ(wh_winhttp_header_text(&u, "POST", h, 2, 3, out, 20), -1);
  EXPECT_EQ(std::wstring(out), L"");
}

TEST(WinHttpConnected, VettedAgainAfterTheExchange) {
  const std::string reached =
      "refused: relay.example was reached at a private or reserved address (127.0.0.1); the "
      "answer was discarded. Set WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.";
  struct {
    const char *connected;
    bool proxy;
    int allow;
    int rc;
    std::string error;
  } cases[] = {
      {"192.88.99.1", false, 0, 0, ""},
      {"127.0.0.1", false, 0, -1, reached},
      {"::ffff:10.0.0.1", false, 0, -1,
       "refused: relay.example was reached at a private or "
       "reserved address (::ffff:10.0.0.1); the answer was "
       "discarded. Set WEBHOOK_ALLOW_PRIVATE=1 to allow local "
       "endpoints."},
      {"127.0.0.1", true, 0, 0, ""},  // a proxy's address says nothing about the endpoint
      {"127.0.0.1", false, 1, 0, ""},
      {"", false, 0, -1,
       "refused: the address relay.example was reached at could not be checked; the answer was "
       "discarded"},
  };
  for (const auto &c : cases) {
    auto r = std::make_unique<wh_response>();
    memset(r.get(), 0, sizeof *r);
    r->status = 200;
    r->body_len = 4;
    memcpy(r->body, "kept", 5);
    r->truncated = 1;
    EXPECT_EQ(wh_winhttp_vet_connected("relay.example", c.connected, c.proxy, c.allow, r.get()),
              c.rc)
        << c.connected;
    EXPECT_EQ(r->error, c.error) << c.connected;
    if (c.rc == 0) {
      EXPECT_EQ(r->status, 200);
      EXPECT_STREQ(r->body, "kept");
    } else {
      EXPECT_EQ(r->status, 0);
      EXPECT_EQ(r->body_len, 0u);
      EXPECT_STREQ(r->body, "");
      EXPECT_EQ(r->truncated, 0);
    }
  }
}

// Our resolver says the host is public, WinHTTP's own resolution finds the
// loopback listener: the connection it reports is refused, whatever came of
// the handshake.
int resolve_public(const char *, const char *service, const addrinfo *hints, addrinfo **out) {
  return getaddrinfo("192.88.99.1", service, hints, out);
}

TEST(WinHttpConnected, RebindingToLoopbackIsRefused) {
  vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", nullptr);
  vdtest::bound_port l;
  ASSERT_TRUE(l.ok());
  SOCKET s = l.fd();
  ASSERT_EQ(listen(s, 4), 0);
  // Accepts and closes at once, so the handshake fails fast.
  std::thread server([s] {
    pollfd p{s, POLLIN, 0};
    if (vdtest::poll_sockets(&p, 1, 20000) == 1) closesocket(accept(s, nullptr, nullptr));
  });
  wh_resolver saved = wh_http_resolver;
  wh_http_resolver.resolve = resolve_public;
  std::string url = "https://localhost:" + std::to_string(l.port()) + "/hook";
  wh_url u = parsed(url.c_str());
  auto r = std::make_unique<wh_response>();
  int rc = wh_http_request("POST", &u, nullptr, 0, "{}", 2, r.get());
  wh_http_resolver = saved;
  server.join();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(r->error),
            "refused: localhost was reached at a private or reserved address (127.0.0.1); the "
            "answer was discarded. Set WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.");
  EXPECT_EQ(r->status, 0);
}

// The openssl tool of the host system, started by Wine as a Unix program,
// serves TLS with a certificate made for the test (for "localhost", so only
// the trust is wrong). Its output does not reach us, and Wine does not wait
// for its end: what it says goes to a file, and the files tell.
class HostOpenssl : public ::testing::Test {
 protected:
  std::string unix_dir = "/tmp/vd_tls_" + std::to_string(GetCurrentProcessId());

  void SetUp() override {
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", "1");
    vdtest::make_dir("Z:" + unix_dir);
    auto made =
        vdtest::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     unix_dir + "/key.pem", "-out", unix_dir + "/cert.pem", "-days", "2", "-subj",
                     "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"},
                    vdtest::base_env(), {}, 60000);
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_TRUE(wait_for("cert.pem", "-----END CERTIFICATE-----"));
  }
  void TearDown() override {
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", nullptr);
    vdtest::remove_tree("Z:" + unix_dir);
  }

  std::string text(const std::string &name) const {
    return read_text("Z:" + unix_dir + "/" + name);
  }
  bool wait_for(const std::string &name, const std::string &needle) const {
    for (int i = 0; i < 600; ++i) {
      if (text(name).find(needle) != std::string::npos) return true;
      Sleep(100);
    }
    return false;
  }

  // s_server on a free port with the given options, for two connections: the
  // probe that finds it listening, then the delivery. Its trace goes to log.
  // Returns the port, 0 when it did not listen.
  int serve(const std::string &options, const std::string &log) {
    sockaddr_in a;
    {
      vdtest::bound_port probe;
      if (!probe.ok()) return 0;
      a = probe.addr();
    }
    std::string port = std::to_string(ntohs(a.sin_port));
    server_ = std::make_unique<vdtest::child_process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec /usr/bin/openssl s_server -accept 127.0.0.1:" + port +
                                     " -cert " + unix_dir + "/cert.pem -key " + unix_dir +
                                     "/key.pem -www -naccept 2 -state " + options + " >" +
                                     unix_dir + "/" + log + " 2>&1"},
        vdtest::base_env());
    for (int i = 0; i < 200; ++i) {
      SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
      bool listening = connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
      closesocket(c);
      if (listening) return std::stoi(port);
      Sleep(100);
    }
    return 0;
  }

 private:
  std::unique_ptr<vdtest::child_process> server_;
};

// TLS 1.0 and 1.1 are refused by the client in the handshake: the server
// answers the hello in its version (it can speak it) and sees no handshake
// finish. (With the protocols set on the request, which WinHTTP does not take
// there, Wine finished the TLS 1.0 handshake.) TLS 1.2 completes the
// handshake and is refused at the certificate, before a byte of the request
// is sent (the trace holds no application data): also when the name was
// rebound between the program's resolution and WinHTTP's own to a private
// address that cannot prove it, which is then named.
TEST_F(HostOpenssl, OnlyTls12AndLaterThenTheCertificateBeforeAnyRequestByte) {
  const std::string cert_refused = "request failed: the endpoint's TLS certificate was refused (";
  const std::string rebound =
      "refused: localhost was reached at a private or reserved address (127.0.0.1); the answer "
      "was discarded. Set WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.";
  struct {
    const char *version;
    bool rebound, finished;
  } cases[] = {{"-tls1", false, false},
               {"-tls1_1", false, false},
               {"-tls1_2", false, true},
               {"-tls1_2", true, true}};
  wh_resolver saved = wh_http_resolver;
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.version) + (c.rebound ? " rebound" : ""));
    std::string log = std::string("server") + c.version + (c.rebound ? "r" : "") + ".log";
    // Debian's OpenSSL speaks 1.0 and 1.1 only at security level 0.
    int port = serve(std::string(c.version) + " -trace -cipher DEFAULT:@SECLEVEL=0", log);
    ASSERT_NE(port, 0);
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", c.rebound ? nullptr : "1");
    if (c.rebound) wh_http_resolver.resolve = resolve_public;
    wh_url u = parsed(("https://localhost:" + std::to_string(port) + "/hook?token=T").c_str());
    auto r = std::make_unique<wh_response>();
    EXPECT_EQ(wh_http_request("POST", &u, nullptr, 0, "{}", 2, r.get()), -1);
    wh_http_resolver = saved;
    EXPECT_EQ(r->status, 0);
    std::string error = r->error;
    // Wine reports an untrusted certificate as a failed handshake too;
    // Windows names the certificate.
    if (c.rebound)
      EXPECT_EQ(error, rebound);
    else if (c.finished)
      EXPECT_TRUE(error == kTlsRefused || error.rfind(cert_refused, 0) == 0) << error;
    else
      EXPECT_EQ(error, kTlsRefused);
    ASSERT_TRUE(wait_for(log, "server accepts that finished")) << text(log);
    std::string trace = text(log);
    EXPECT_NE(trace.find("write server hello"), std::string::npos) << trace;
    EXPECT_NE(trace.find(c.finished ? " 1 server accepts that finished"
                                    : " 0 server accepts that finished"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("ApplicationData"), std::string::npos) << trace;
  }
}

// The session takes TLS 1.2 and 1.3, else 1.2 alone (Windows 10 knows no
// 1.3), else nothing: never left at the system's defaults.
std::vector<unsigned long> g_offered;
unsigned long g_taken;
BOOL WINAPI fake_set_option(HINTERNET, DWORD option, void *buffer, DWORD length) {
  if (option != WINHTTP_OPTION_SECURE_PROTOCOLS || length != sizeof(DWORD)) return FALSE;
  DWORD protocols = *static_cast<DWORD *>(buffer);
  g_offered.push_back(protocols);
  return (protocols & ~g_taken) == 0;
}

TEST(WinHttpTls, SessionProtocolsWithFallback) {
  struct {
    unsigned long taken, want;
    std::vector<unsigned long> offered;
  } cases[] = {
      {0x2800, 0x2800, {0x2800}},
      {0x0800, 0x0800, {0x2800, 0x0800}},  // no TLS 1.3
      {0x0000, 0, {0x2800, 0x0800}},
  };
  for (const auto &c : cases) {
    g_offered.clear();
    g_taken = c.taken;
    EXPECT_EQ(wh_winhttp_restrict_tls(fake_set_option, nullptr), c.want);
    EXPECT_EQ(g_offered, c.offered);
  }
}

// The program's manifest, read back as Windows reads it when it starts the
// program: resource 1 of type RT_MANIFEST.
TEST(Manifest, EmbeddedInTheProgram) {
  std::wstring exe(1024, L'\0');
  ASSERT_GT(wh_utf16(vdtest::program_path(), exe.data(), exe.size(), true), 0);
  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_TRUE(image);
  HRSRC res = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_TRUE(res);
  HGLOBAL loaded = LoadResource(image, res);
  std::string manifest(static_cast<const char *>(LockResource(loaded)), SizeofResource(image, res));
  FreeLibrary(image);
  for (const char *setting : {
           ">UTF-8</activeCodePage>",
           ">true</longPathAware>",
           "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
           "<requestedExecutionLevel level=\"asInvoker\"",
       })
    EXPECT_NE(manifest.find(setting), std::string::npos) << setting << "\n" << manifest;
}

}  // namespace
