// The sender's transport on Windows: WinHTTP.
//
// Certificates: the system's store (WinHTTP checks the server's chain and name).
// Proxies: https_proxy or http_proxy, with no_proxy, when the environment names one (as on
// Linux); else the user's proxy settings (Internet Options): a configuration script or its
// automatic detection, or a named proxy with its bypass list.
#include <windows.h>
#include <winhttp.h>

#include <cobaltmoth/version.hpp>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <future>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "tools/send/sender.hpp"

namespace cobaltmoth::tools::send {
namespace {

struct CloseInternet {
  void operator()(HINTERNET handle) const noexcept { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, CloseInternet>;

std::wstring Widen(std::string_view text) {
  std::wstring out(text.size(), L'\0');
  out.resize(static_cast<std::size_t>(::MultiByteToWideChar(
      CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
      static_cast<int>(out.size()))));
  return out;
}

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  std::wstring value(::GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

// Whether no_proxy (comma-separated host names, each also for its subdomains; "*" for all)
// takes `host` out of the proxy's way.
bool Bypassed(const std::wstring& host, const std::wstring& no_proxy) {
  std::wstring_view list = no_proxy;
  while (!list.empty()) {
    std::wstring entry(list.substr(0, list.find(L',')));
    list.remove_prefix(std::min(entry.size() + 1, list.size()));
    entry.erase(0, entry.find_first_not_of(L" ."));
    entry = Lower(entry.substr(0, entry.find_last_not_of(L' ') + 1));
    const std::wstring dotted = L"." + entry;
    if (entry == L"*" || (!entry.empty() && host == entry) ||
        (host.size() > dotted.size() &&
         host.compare(host.size() - dotted.size(), dotted.size(), dotted) == 0)) {
      return true;
    }
  }
  return false;
}

// The proxy the environment names for the URL ("" for a direct connection); nothing when it
// names none.
std::optional<std::wstring> EnvironmentProxy(bool https, const std::wstring& host) {
  std::wstring proxy = EnvironmentValue(https ? L"https_proxy" : L"http_proxy");
  if (proxy.empty()) return std::nullopt;
  if (Bypassed(Lower(host), EnvironmentValue(L"no_proxy"))) return std::wstring();
  if (const std::size_t scheme = proxy.find(L"://"); scheme != std::wstring::npos) {
    proxy.erase(0, scheme + 3);
  }
  return proxy.substr(0, proxy.find(L'/'));
}

// The proxy for the URL and its bypass list: the environment's, else the user's settings
// (none for a direct connection, and always none for the machine itself). They are set on the
// session (a proxy set on a request alone is not honoured everywhere: Wine ignores it).
std::pair<std::wstring, std::wstring> ChooseProxy(const std::wstring& url, bool https,
                                                  const std::wstring& host) {
  if (const std::optional<std::wstring> proxy = EnvironmentProxy(https, host)) return {*proxy, {}};
  // The machine itself is never reached through the user's proxy, nor looked up for one.
  if (Lower(host) == L"localhost" || host.rfind(L"127.", 0) == 0 || host == L"[::1]") return {};
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&user)) return {};
  std::pair<std::wstring, std::wstring> chosen;
  WINHTTP_PROXY_INFO found{};
  WINHTTP_AUTOPROXY_OPTIONS automatic{};
  automatic.dwFlags = user.lpszAutoConfigUrl != nullptr ? WINHTTP_AUTOPROXY_CONFIG_URL
                                                         : WINHTTP_AUTOPROXY_AUTO_DETECT;
  automatic.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  automatic.lpszAutoConfigUrl = user.lpszAutoConfigUrl;
  automatic.fAutoLogonIfChallenged = TRUE;
  const Internet finder((user.fAutoDetect || user.lpszAutoConfigUrl != nullptr)
                            ? ::WinHttpOpen(L"cobaltmoth", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                            : nullptr);
  if (finder && ::WinHttpGetProxyForUrl(finder.get(), url.c_str(), &automatic, &found) &&
      found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found.lpszProxy != nullptr) {
    chosen = {found.lpszProxy, found.lpszProxyBypass != nullptr ? found.lpszProxyBypass : L""};
  } else if (user.lpszProxy != nullptr) {
    chosen = {user.lpszProxy, user.lpszProxyBypass != nullptr ? user.lpszProxyBypass : L""};
  }
  for (LPWSTR text : {found.lpszProxy, found.lpszProxyBypass, user.lpszAutoConfigUrl,
                      user.lpszProxy, user.lpszProxyBypass}) {
    if (text != nullptr) ::GlobalFree(text);
  }
  return chosen;
}

std::string Header(HINTERNET request, DWORD query, const wchar_t* name) {
  wchar_t value[512];
  DWORD size = sizeof value;
  if (!::WinHttpQueryHeaders(request, query, name, value, &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  return std::string(value, value + size / sizeof(wchar_t));  // the header's ASCII
}

Answer PostNow(const std::string& url, const std::string& auth, const std::string& body,
               int timeout_ms) {
  Answer answer;
  const std::wstring wide_url = Widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
  if (!::WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) {
    answer.error = "not a URL: " + url;
    return answer;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
  const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const auto [proxy, bypass] = ChooseProxy(wide_url, https, host);
  const Internet session(::WinHttpOpen(
      Widen("cobaltmoth/" COBALTMOTH_VERSION_TEXT).c_str(),
      proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
      proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(),
      bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypass.c_str(), 0));
  const Internet connection(
      session ? ::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0) : nullptr);
  const Internet request(
      connection ? ::WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        https ? WINHTTP_FLAG_SECURE : 0)
                 : nullptr);
  if (!request) {
    answer.error = "WinHTTP error " + std::to_string(::GetLastError());
    return answer;
  }
  ::WinHttpSetTimeouts(request.get(), kConnectTimeoutMs, kConnectTimeoutMs, timeout_ms,
                       timeout_ms);
  DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
  ::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                     sizeof no_redirects);
  const std::wstring headers =
      L"Content-Type: application/x-sentry-envelope\r\nX-Sentry-Auth: " + Widen(auth);
  const DWORD size = static_cast<DWORD>(body.size());
  if (!::WinHttpSendRequest(request.get(), headers.c_str(), DWORD(-1),
                            const_cast<char*>(body.data()), size, size, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    const DWORD error = ::GetLastError();
    const bool unreachable =
        error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED;
    answer.kind = unreachable ? Answer::Kind::kUnreachable : Answer::Kind::kFailed;
    answer.error = "WinHTTP error " + std::to_string(error);
    return answer;
  }
  DWORD status = 0;
  DWORD status_size = sizeof status;
  ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                        WINHTTP_NO_HEADER_INDEX);
  answer.kind = Answer::Kind::kAnswered;
  answer.status = static_cast<long>(status);
  answer.rate_limits = Header(request.get(), WINHTTP_QUERY_CUSTOM, L"X-Sentry-Rate-Limits");
  answer.retry_after =
      Header(request.get(), WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX);
  return answer;
}

class WinHttpTransport final : public Transport {
 public:
  // WinHTTP's timeouts bound each step of a request, not the whole (and Wine's bound no wait
  // for an answer): the request runs on a thread of its own and is given up at its deadline;
  // the sender then ends, and the thread with it.
  Answer Post(const std::string& url, const std::string& auth, const std::string& body,
              int timeout_ms) override {
    auto promised = std::make_shared<std::promise<Answer>>();
    std::future<Answer> answer = promised->get_future();
    std::thread([=] { promised->set_value(PostNow(url, auth, body, timeout_ms)); }).detach();
    if (answer.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready) {
      return answer.get();
    }
    Answer late;
    late.error = "no answer within " + std::to_string(timeout_ms / 1000) + " s";
    return late;
  }
};

}  // namespace

std::unique_ptr<Transport> MakeTransport() { return std::make_unique<WinHttpTransport>(); }

}  // namespace cobaltmoth::tools::send
