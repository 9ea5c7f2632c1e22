#include <windows.h>
// windows.h first: the crypto and HTTP headers build on its types.
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>

#include "platform/files.h"
#include "platform/http_os.h"

namespace zorbent {
namespace {

using Clock = std::chrono::steady_clock;
using Problem = FetchResult::Problem;

constexpr DWORD kReadChunk = 64 * 1024;
constexpr std::int64_t kMaxCaFileBytes = 1 << 20;

struct CloseInternet {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, CloseInternet>;

struct CloseStore {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using CertStore = std::unique_ptr<void, CloseStore>;

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
}

// The system's words for an error, WinHTTP's own included.
std::string SystemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE;
  const DWORD size = FormatMessageW(flags, GetModuleHandleW(L"winhttp.dll"), error, 0,
                                    reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = size > 0 ? Narrow(std::wstring_view(text, size)) : std::string();
  LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.' ||
                            words.back() == ' '))
    words.pop_back();
  return words.empty() ? "Windows error " + std::to_string(error) : words;
}

// The certificates of a PEM file in a store of their own; null, with why, when there are none.
CertStore LoadCaFile(const std::string& path, std::string& why) {
  std::vector<std::uint8_t> pem;
  int error = 0;
  if (LoadWholeFile(path, pem, kMaxCaFileBytes, &error) < 0) {
    why = "the CA file " + path + " cannot be read (" +
          (error == EFBIG ? "it is too large" : std::strerror(error)) + ")";
    return nullptr;
  }
  CertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!store) {
    why = "no certificate store could be made (" + SystemText(GetLastError()) + ")";
    return nullptr;
  }
  const std::string_view text(reinterpret_cast<const char*>(pem.data()), pem.size());
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = text.find(kBegin); at != std::string_view::npos;
       at = text.find(kBegin, at + kBegin.size())) {
    const std::size_t end = text.find(kEnd, at);
    if (end == std::string_view::npos) break;
    const std::string block(text.substr(at, end + kEnd.size() - at));
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr))
      ++added;
  }
  if (added == 0) {
    why = "the CA file " + path + " holds no PEM certificate";
    return nullptr;
  }
  return store;
}

// Whether the server's certificate chain ends in one of roots and is good for host: what the
// system's check does with its own CAs, with only the given ones trusted.
bool ChainEndsIn(HINTERNET request, HCERTSTORE roots, std::wstring host) {
  PCCERT_CONTEXT server = nullptr;
  DWORD size = sizeof server;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) ||
      server == nullptr)
    return false;
  const std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> owned(
      server, &CertFreeCertificateContext);
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = sizeof config;
  config.hExclusiveRoot = roots;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine)) {
    // Windows 7 (and wine) know the layout without the last field only.
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    if (!CertCreateCertificateChainEngine(&config, &engine)) return false;
  }
  LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = false;
  // The server's own store holds the intermediates it sent.
  if (CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &para, 0, nullptr,
                              &chain)) {
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = host.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    // Not the policy alone: some versions (wine's) let a chain that stops short pass it.
    const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    const CERT_CHAIN_ELEMENT* root = simple != nullptr && simple->cElement > 0
                                         ? simple->rgpElement[simple->cElement - 1]
                                         : nullptr;
    PCCERT_CONTEXT given = root != nullptr ? CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0,
                                                                        CERT_FIND_EXISTING,
                                                                        root->pCertContext, nullptr)
                                           : nullptr;
    trusted = given != nullptr && chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR &&
              CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
              status.dwError == 0;
    if (given != nullptr) CertFreeCertificateContext(given);
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateChainEngine(engine);
  return trusted;
}

// What WinHTTP said about a certificate it refused.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD size) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && info != nullptr &&
      size >= sizeof(DWORD))
    *reinterpret_cast<DWORD*>(context) = *static_cast<DWORD*>(info);
}

std::string TlsText(DWORD flags, DWORD error) {
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) || error == ERROR_WINHTTP_SECURE_INVALID_CA)
    return "its certificate is not trusted (no trusted CA issued it)";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) ||
      error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID)
    return "its certificate is for another name";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) ||
      error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
    return "its certificate has expired or is not valid yet";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) ||
      error == ERROR_WINHTTP_SECURE_CERT_REVOKED)
    return "its certificate was revoked";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE) ||
      error == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE)
    return "its certificate is not meant for a server";
  return "the secure handshake failed (" + SystemText(error) + ")";
}

bool IsTlsError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_FAILURE_PROXY:
      return true;
    default:
      return false;
  }
}

// One download: each redirect is a request of its own, followed here so that an https download
// never continues over http and the count is ours.
class Download {
 public:
  Download(std::string_view url, const FetchLimits& limits, const FetchProgress& progress)
      : url_(url),
        limits_(limits),
        progress_(progress),
        deadline_(Clock::now() + std::chrono::milliseconds(std::max(limits.totalTimeoutMs, 1))),
        https_(UrlScheme(url) == "https") {}

  FetchResult Run() {
    session_.reset(WinHttpOpen(L"zorbent-fw", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    // Before Windows 8.1: the proxy set with netsh winhttp.
    if (!session_) {
      session_.reset(WinHttpOpen(L"zorbent-fw", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    }
    if (!session_) {
      return Fail(Problem::kCannotConnect, "the system's HTTP service (WinHTTP) did not start: " +
                                               SystemText(GetLastError()));
    }
    if (!limits_.caFile.empty()) {
      std::string why;
      roots_ = LoadCaFile(limits_.caFile, why);
      if (!roots_) return Fail(Problem::kTlsFailed, why);
    }
    std::string current = url_;
    for (int redirects = 0;; ++redirects) {
      std::string next;
      FetchResult result = Request(current, next);
      if (next.empty()) return result;
      if (redirects >= limits_.maxRedirects) return Fail(Problem::kTooManyRedirects, {});
      const std::string scheme = UrlScheme(next);
      if (scheme != "https" && (https_ || scheme != "http")) {
        return Fail(Problem::kBadUrl,
                    "it was redirected to a scheme not allowed here (" + UrlForText(next) + ")");
      }
      current = next;
    }
  }

 private:
  enum class Phase { kConnect, kAnswer, kBody };

  FetchResult Fail(Problem kind, std::string detail) {
    return FetchFailure(kind, url_, limits_, detail, status_);
  }

  // Each wait is the smaller of its own limit and the time left in total.
  bool Bound(HINTERNET request, Phase phase) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0) {
      totalRanOut_ = true;
      SetLastError(ERROR_WINHTTP_TIMEOUT);
      return false;
    }
    const int own = phase == Phase::kConnect ? std::max(limits_.connectTimeoutMs, 1)
                                             : std::max(limits_.stallTimeoutMs, 1);
    const int wait = static_cast<int>(std::min<long long>(own, left));
    const int stall =
        static_cast<int>(std::min<long long>(std::max(limits_.stallTimeoutMs, 1), left));
    totalRanOut_ = wait < own;
    phase_ = phase;
    if (!WinHttpSetTimeouts(request, wait, wait, stall, stall)) return false;
    DWORD answer = static_cast<DWORD>(stall);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answer, sizeof answer);
    return true;
  }

  FetchResult Failed(DWORD error) {
    FetchResult result = Classified(error);
    result.systemCode = static_cast<long>(error);
    return result;
  }

  FetchResult Classified(DWORD error) {
    // WinHTTP's own word, or the socket's (wine passes that on).
    if (error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT || error == ERROR_TIMEOUT) {
      if (totalRanOut_)
        return Fail(Problem::kTimedOut, "not done within " + DurationText(limits_.totalTimeoutMs));
      if (phase_ == Phase::kConnect)
        return Fail(Problem::kTimedOut,
                    "no connection within " + DurationText(limits_.connectTimeoutMs));
      return Fail(Problem::kTimedOut,
                  (phase_ == Phase::kAnswer ? "no answer for " : "no data for ") +
                      DurationText(limits_.stallTimeoutMs));
    }
    if (IsTlsError(error)) return Fail(Problem::kTlsFailed, TlsText(tlsFlags_, error));
    if (error == ERROR_WINHTTP_INVALID_URL || error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME) {
      return Fail(Problem::kBadUrl, "it is no valid URL");
    }
    if (error == ERROR_WINHTTP_NAME_NOT_RESOLVED)
      return Fail(Problem::kCannotConnect, "the name is unknown");
    if (error == ERROR_WINHTTP_CANNOT_CONNECT)
      return Fail(Problem::kCannotConnect, "nothing answers there");
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) return OutOfMemory();
    return Fail(Problem::kCannotConnect, SystemText(error));
  }

  FetchResult OutOfMemory() { return Fail(Problem::kTooLarge, "there is not enough memory"); }

  // One request to url: its body, a failure, or (next not empty) where it redirects.
  FetchResult Request(const std::string& url, std::string& next) {
    std::wstring wide = Widen(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts))
      return Failed(GetLastError());
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    path.erase(std::min(path.find(L'#'), path.size()));  // a fragment stays with the client
    if (path.empty()) path = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    const Internet connection(WinHttpConnect(session_.get(), host.c_str(), parts.nPort, 0));
    if (!connection) return Failed(GetLastError());
    const Internet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return Failed(GetLastError());
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    // No connection outlives its download: one let through for a given CA is never taken up
    // by another request that trusts the system's CAs only.
    DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive,
                     sizeof noKeepAlive);
    tlsFlags_ = 0;
    auto context = reinterpret_cast<DWORD_PTR>(&tlsFlags_);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    WinHttpSetStatusCallback(request.get(), &OnStatus, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    if (secure && roots_) {
      // The system does not know the given CA: its own check lets that alone pass, and the
      // chain is checked against the CA below before any answer is read.
      DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }

    if (!Bound(request.get(), Phase::kConnect)) return Failed(GetLastError());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
      return Failed(GetLastError());
    if (secure && roots_ && !ChainEndsIn(request.get(), roots_.get(), host)) {
      return Fail(Problem::kTlsFailed,
                  "its certificate is not trusted (it does not lead to the "
                  "CA in " +
                      limits_.caFile + ")");
    }
    if (!Bound(request.get(), Phase::kAnswer) || !WinHttpReceiveResponse(request.get(), nullptr))
      return Failed(GetLastError());

    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    status_ = static_cast<long>(status);
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
      const std::wstring location = Header(request.get(), WINHTTP_QUERY_LOCATION);
      if (!location.empty()) {
        next = ResolveRelativeUrl(url, Narrow(location));
        return {};
      }
    }
    if (status == 404) return Fail(Problem::kNotFound, {});
    if (status < 200 || status > 299) return Fail(Problem::kHttpStatus, {});

    // A declared length above the limit fails before the body is read.
    std::size_t announced = 0;
    const std::wstring length = Header(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty()) {
      const unsigned long long declared = std::wcstoull(length.c_str(), nullptr, 10);
      if (declared > limits_.maxBytes) return Fail(Problem::kTooLarge, {});
      announced = static_cast<std::size_t>(declared);
    }
    return Body(request.get(), announced);
  }

  // Reads the body in chunks, never more than maxBytes of it.
  FetchResult Body(HINTERNET request, std::size_t announced) {
    FetchResult result;
    try {
      result.body.reserve(announced);
      while (true) {
        if (!GoOn(progress_, result.body.size(), announced)) return Fail(Problem::kCancelled, {});
        DWORD available = 0;
        if (!Bound(request, Phase::kBody) || !WinHttpQueryDataAvailable(request, &available))
          return Failed(GetLastError());
        if (available == 0) break;
        if (available > limits_.maxBytes - result.body.size()) return Fail(Problem::kTooLarge, {});
        const std::size_t done = result.body.size();
        result.body.resize(done + std::min(available, kReadChunk));
        DWORD read = 0;
        if (!WinHttpReadData(request, result.body.data() + done,
                             static_cast<DWORD>(result.body.size() - done), &read))
          return Failed(GetLastError());
        result.body.resize(done + read);
        if (read == 0) break;
      }
    } catch (...) {
      return OutOfMemory();
    }
    result.ok = true;
    result.httpStatus = status_;
    return result;
  }

  static std::wstring Header(HINTERNET request, DWORD which) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
      return {};
    value.resize(size / sizeof(wchar_t));
    return value;
  }

  const std::string url_;
  const FetchLimits& limits_;
  const FetchProgress& progress_;
  const Clock::time_point deadline_;
  const bool https_;
  Internet session_;
  CertStore roots_;
  DWORD tlsFlags_ = 0;
  long status_ = 0;
  Phase phase_ = Phase::kConnect;
  bool totalRanOut_ = false;
};

}  // namespace

FetchResult FetchRemote(std::string_view url, const FetchLimits& limits,
                        const FetchProgress& progress) {
  return Download(url, limits, progress).Run();
}

}  // namespace zorbent
