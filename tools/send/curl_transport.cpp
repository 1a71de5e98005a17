// The sender's transport on Linux: libcurl (Debian's libcurl4, with OpenSSL).
//
// Certificates: the system's store only (/etc/ssl/certs, which Debian's libcurl is built to
// read); an organisation's own authority is trusted by adding it there
// (update-ca-certificates). Neither CURL_CA_BUNDLE nor SSL_CERT_FILE is read: what a program
// that a host starts trusts does not change with the host's environment.
// Proxies: libcurl's own reading of https_proxy, http_proxy (lower case only), no_proxy and
// all_proxy.
#include <curl/curl.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <string_view>

#include "tools/send/sender.hpp"

namespace cobaltmoth::tools::send {
namespace {

// Keeps the two headers the sender reads, of the last response (a proxy's answer to CONNECT
// comes first).
std::size_t KeepHeader(char* data, std::size_t size, std::size_t count, void* answer) {
  Answer& kept = *static_cast<Answer*>(answer);
  const std::string_view line(data, size * count);
  const std::size_t colon = line.find(':');
  if (line.rfind("HTTP/", 0) == 0) {
    kept.rate_limits.clear();
    kept.retry_after.clear();
  } else if (colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    value = value.substr(0, value.find_last_not_of(" \r\n") + 1);
    const std::string name(line.substr(0, colon));
    if (::strcasecmp(name.c_str(), "X-Sentry-Rate-Limits") == 0) kept.rate_limits = value;
    if (::strcasecmp(name.c_str(), "Retry-After") == 0) kept.retry_after = value;
  }
  return size * count;
}

std::size_t IgnoreBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

class CurlTransport final : public Transport {
 public:
  CurlTransport() {
    ::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  }
  ~CurlTransport() override { curl_global_cleanup(); }
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  Answer Post(const std::string& url, const std::string& auth, const std::string& body,
              int timeout_ms) override {
    Answer answer;
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> owned(curl_easy_init(),
                                                                    &curl_easy_cleanup);
    CURL* curl = owned.get();
    if (curl == nullptr) {
      answer.error = "libcurl did not start";
      return answer;
    }
    const std::string auth_header = "X-Sentry-Auth: " + auth;
    curl_slist* headers = nullptr;
    // "Expect:" keeps libcurl from waiting for a 100 Continue before a large body.
    for (const char* header : {"Content-Type: application/x-sentry-envelope",
                               auth_header.c_str(), "Expect:"}) {
      headers = curl_slist_append(headers, header);
    }
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(
        headers, &curl_slist_free_all);
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, IgnoreBody);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    const CURLcode result = curl_easy_perform(curl);
    if (result == CURLE_OK) {
      answer.kind = Answer::Kind::kAnswered;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
      return answer;
    }
    const bool unreachable = result == CURLE_COULDNT_CONNECT ||
                             result == CURLE_COULDNT_RESOLVE_HOST ||
                             result == CURLE_COULDNT_RESOLVE_PROXY;
    answer.kind = unreachable ? Answer::Kind::kUnreachable : Answer::Kind::kFailed;
    answer.error = error[0] != '\0' ? error : curl_easy_strerror(result);
    return answer;
  }
};

}  // namespace

std::unique_ptr<Transport> MakeTransport() { return std::make_unique<CurlTransport>(); }

}  // namespace cobaltmoth::tools::send
