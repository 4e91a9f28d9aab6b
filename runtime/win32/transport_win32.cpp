#include "runtime/win32/transport_win32.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/win32/handle.h"

namespace rt::win32 {
namespace {

const char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";

std::string Failure(const char* what) {
  char text[64];
  std::snprintf(text, sizeof text, "%s failed (%lu)", what, GetLastError());
  return text;
}

struct Url {
  INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
  std::string host, user, password, object;
  INTERNET_PORT port = 0;
};

bool Crack(const std::string& text, Url& url) {
  std::vector<char> host(text.size() + 1), user(text.size() + 1), password(text.size() + 1);
  std::vector<char> path(text.size() + 2), extra(text.size() + 2);
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUserName = user.data();
  parts.dwUserNameLength = static_cast<DWORD>(user.size());
  parts.lpszPassword = password.data();
  parts.dwPasswordLength = static_cast<DWORD>(password.size());
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (text.empty() || !InternetCrackUrlA(text.c_str(), static_cast<DWORD>(text.size()), 0, &parts)) return false;
  url.scheme = parts.nScheme;
  url.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  url.user.assign(parts.lpszUserName, parts.dwUserNameLength);
  url.password.assign(parts.lpszPassword, parts.dwPasswordLength);
  url.port = parts.nPort;
  url.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (url.object.empty()) url.object = "/";
  url.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  url.object = url.object.substr(0, url.object.find('#'));  // a fragment is never sent
  const bool known =
      url.scheme == INTERNET_SCHEME_HTTP || url.scheme == INTERNET_SCHEME_HTTPS || url.scheme == INTERNET_SCHEME_FTP;
  return known && !url.host.empty();
}

// An FTP path travels as a file name, not as a URL: "%20" is a blank.
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char hex[3] = {};
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      hex[0] = text[i + 1];
      hex[1] = text[i + 2];
      out += static_cast<char>(std::strtol(hex, nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SetTimeouts(HINTERNET handle, const TransportRequest& request) {
  const std::pair<DWORD, int> options[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, request.connectTimeoutMs},
                                           {INTERNET_OPTION_SEND_TIMEOUT, request.sendTimeoutMs},
                                           {INTERNET_OPTION_RECEIVE_TIMEOUT, request.receiveTimeoutMs}};
  for (auto [option, ms] : options) {
    DWORD value = static_cast<DWORD>(std::max(ms, 1));
    InternetSetOptionA(handle, option, &value, sizeof value);
  }
}

// Its own session per connection: the time-outs set on it apply to this request alone, and an FTP
// session logs in while it is being opened, so they must be in place before that.
UniqueInternet OpenSession(const TransportRequest& request, std::string& error) {
  UniqueInternet session(InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) {
    error = Failure("InternetOpen");
    return session;
  }
  SetTimeouts(session.get(), request);
  return session;
}

// Reads what the body still owes. A body that ends before its announced length is a dropped
// connection, not an end: answering 0 there would pass a truncated range off as a complete one.
class Body {
 public:
  explicit Body(int64_t expected) : left_(expected) {}
  // `got` from a read that worked: the count to hand on, -1 when the body ended early.
  int Account(DWORD got) {
    if (got == 0) return left_ > 0 ? -1 : 0;
    if (left_ >= 0) left_ -= got;
    return static_cast<int>(got);
  }
  // How much may still be asked for: the rest of a bounded body, or `room`.
  DWORD Limit(size_t room) const {
    const size_t cap = left_ >= 0 ? static_cast<size_t>(std::min<int64_t>(left_, static_cast<int64_t>(room))) : room;
    return static_cast<DWORD>(std::min<size_t>(cap, 1 << 30));
  }
  bool Done() const { return left_ == 0; }

 private:
  int64_t left_;  // -1: unknown, read to the end
};

int64_t ParseCount(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return -1;
  return std::strtoll(text.c_str(), nullptr, 10);
}

// --------------------------------------------------------------------------------------------
// HTTP and HTTPS

std::string QueryString(HINTERNET request, DWORD what) {
  std::string text(1024, '\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(text.size());
    if (HttpQueryInfoA(request, what, text.data(), &size, nullptr)) {
      text.resize(size);
      return text;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    text.assign(size + 1, '\0');
  }
  return {};
}

class HttpConnection final : public Connection {
 public:
  HttpConnection(UniqueInternet session, UniqueInternet connect, UniqueInternet request, std::string head,
                 int64_t length)
      : session_(std::move(session)),
        connect_(std::move(connect)),
        request_(std::move(request)),
        head_(std::move(head)),
        body_(length) {}

  const std::string& Head() const override { return head_; }

  int Read(std::span<char> into) override {
    if (into.empty()) return 0;
    DWORD got = 0;
    if (!InternetReadFile(request_.get(), into.data(), body_.Limit(into.size()), &got)) return -1;
    return body_.Account(got);
  }

 private:
  // Closed in reverse: the request before its connection before the session.
  UniqueInternet session_, connect_, request_;
  std::string head_;
  Body body_;
};

std::unique_ptr<Connection> OpenHttp(const Url& url, const TransportRequest& request, std::string& error) {
  UniqueInternet session = OpenSession(request, error);
  if (!session) return nullptr;
  UniqueInternet connect(
      InternetConnectA(session.get(), url.host.c_str(), url.port, url.user.empty() ? nullptr : url.user.c_str(),
                       url.password.empty() ? nullptr : url.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
  if (!connect) {
    error = Failure("InternetConnect");
    return nullptr;
  }
  SetTimeouts(connect.get(), request);

  // Every byte comes from the server: a cached copy could belong to an older package.
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
  if (url.scheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  const char* acceptTypes[] = {"*/*", nullptr};
  UniqueInternet req(
      HttpOpenRequestA(connect.get(), "GET", url.object.c_str(), "HTTP/1.1", nullptr, acceptTypes, flags, 0));
  if (!req) {
    error = Failure("HttpOpenRequest");
    return nullptr;
  }
  // Only the request handle's receive and send time-outs bound a server that accepts and then stays
  // silent; under Wine the session's are ignored.
  SetTimeouts(req.get(), request);

  std::string headers;
  if (request.first > 0 || request.last >= 0) {
    headers = "Range: bytes=" + std::to_string(request.first) + "-" +
              (request.last >= 0 ? std::to_string(request.last) : std::string()) + "\r\n";
  }
  if (!HttpSendRequestA(req.get(), headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()),
                        nullptr, 0)) {
    error = Failure("HttpSendRequest");
    return nullptr;
  }
  std::string head = QueryString(req.get(), HTTP_QUERY_RAW_HEADERS_CRLF);
  if (head.empty()) {
    error = Failure("HttpQueryInfo");
    return nullptr;
  }
  const int64_t length = ParseCount(QueryString(req.get(), HTTP_QUERY_CONTENT_LENGTH));
  return std::make_unique<HttpConnection>(std::move(session), std::move(connect), std::move(req), std::move(head),
                                          length);
}

// --------------------------------------------------------------------------------------------
// FTP

// The reply to the last command this thread sent: its code (0 when unreadable) and text.
int LastReply(std::string& text) {
  DWORD code = 0;
  DWORD size = 0;
  InternetGetLastResponseInfoA(&code, nullptr, &size);
  text.assign(size + 1, '\0');
  size = static_cast<DWORD>(text.size());
  if (!InternetGetLastResponseInfoA(&code, text.data(), &size)) return 0;
  text.resize(std::min<size_t>(size, text.size()));
  // The reply may hold earlier lines too; the last complete one is this command's.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0')) text.pop_back();
  const size_t start = text.rfind('\n');
  text = text.substr(start == std::string::npos ? 0 : start + 1);
  if (text.size() < 3 || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  return std::atoi(text.substr(0, 3).c_str());
}

int Command(HINTERNET ftp, const std::string& command, std::string& reply) {
  if (!FtpCommandA(ftp, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0, nullptr)) return 0;
  return LastReply(reply);
}

class FtpConnection final : public Connection {
 public:
  FtpConnection(UniqueInternet session, UniqueInternet connect, UniqueInternet file, std::string head, int64_t length)
      : session_(std::move(session)),
        connect_(std::move(connect)),
        file_(std::move(file)),
        head_(std::move(head)),
        body_(length) {}

  const std::string& Head() const override { return head_; }

  // A ranged read stops after the range's last byte: the rest of the file stays on the server.
  int Read(std::span<char> into) override {
    if (into.empty() || body_.Done()) return 0;
    DWORD got = 0;
    if (!InternetReadFile(file_.get(), into.data(), body_.Limit(into.size()), &got)) return -1;
    return body_.Account(got);
  }

 private:
  UniqueInternet session_, connect_, file_;
  std::string head_;
  Body body_;
};

std::unique_ptr<Connection> OpenFtp(const Url& url, const TransportRequest& request, std::string& error) {
  UniqueInternet session = OpenSession(request, error);
  if (!session) return nullptr;
  // Credentials written into the address win over the record's.
  const std::string& user = url.user.empty() ? request.ftpUser : url.user;
  const std::string& password = url.user.empty() ? request.ftpPassword : url.password;
  UniqueInternet ftp(InternetConnectA(session.get(), url.host.c_str(), url.port, user.c_str(), password.c_str(),
                                      INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0));
  if (!ftp) {
    error = Failure("InternetConnect (FTP)");
    // A refused log-in (530) will be refused again: answered as HTTP would, not worth a retry.
    std::string reply;
    if (LastReply(reply) != 530) return nullptr;
    return std::make_unique<FtpConnection>(std::move(session), UniqueInternet(), UniqueInternet(),
                                           "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", 0);
  }
  SetTimeouts(ftp.get(), request);
  const std::string path = PercentDecoded(url.object);

  // FtpGetFileSize answers 0 here, and SIZE is refused in ASCII mode, so: TYPE I, then SIZE.
  std::string reply;
  Command(ftp.get(), "TYPE I", reply);
  int64_t total = -1;
  if (Command(ftp.get(), "SIZE " + path, reply) == 213)
    total = ParseCount(reply.substr(std::min<size_t>(4, reply.size())));

  const bool whole = request.first == 0 && request.last < 0;
  int64_t first = request.first;
  int64_t last = request.last < 0 ? total - 1 : request.last;
  if (total >= 0) last = std::min(last, total - 1);
  if (!whole && total >= 0 && first > last) {
    std::string head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(total) +
                       "\r\nContent-Length: 0\r\n\r\n";
    return std::make_unique<FtpConnection>(std::move(session), std::move(ftp), UniqueInternet(), std::move(head), 0);
  }
  // REST is the only way to an offset here (InternetSetFilePointer fails with 12016). It is sent
  // for offset 0 too, so a whole-file answer can say whether ranges will work.
  const bool restarts = Command(ftp.get(), "REST " + std::to_string(whole ? 0 : first), reply) == 350;
  // A range the server cannot serve is answered like a server that ignores Range: 200 and all of it.
  const bool ranged = !whole && restarts && total >= 0;
  if (!ranged && first != 0) Command(ftp.get(), "REST 0", reply);

  UniqueInternet file(FtpOpenFileA(ftp.get(), path.c_str(), GENERIC_READ,
                                   FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
  if (!file) {
    error = Failure("FtpOpenFile");
    // "No such file" is an answer, not a failure worth retrying: said as HTTP says it.
    if (LastReply(reply) != 550) return nullptr;
    return std::make_unique<FtpConnection>(std::move(session), std::move(ftp), UniqueInternet(),
                                           "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 0);
  }
  std::string head;
  int64_t length = total;
  if (ranged) {
    length = last - first + 1;
    head = "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(length) + "\r\nContent-Range: bytes " +
           std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total) + "\r\n";
  } else {
    head = "HTTP/1.1 200 OK\r\n";
    if (total >= 0) head += "Content-Length: " + std::to_string(total) + "\r\n";
  }
  if (restarts && total >= 0) head += "Accept-Ranges: bytes\r\n";
  head += "\r\n";
  return std::make_unique<FtpConnection>(std::move(session), std::move(ftp), std::move(file), std::move(head), length);
}

class WinInetTransport final : public Transport {
 public:
  std::unique_ptr<Connection> Open(const TransportRequest& request, std::string& error) override {
    Url url;
    if (!Crack(request.url, url)) {
      error = "unusable address";
      return nullptr;
    }
    return url.scheme == INTERNET_SCHEME_FTP ? OpenFtp(url, request, error) : OpenHttp(url, request, error);
  }

  bool CanFetch(const std::string& url) override {
    Url parts;
    return Crack(url, parts);
  }
};

}  // namespace

std::shared_ptr<Transport> MakeWinInetTransport() {
  // WinINet lets a process hold only a few connections to one server (2 for HTTP/1.1 on older
  // systems); the further connections of a segmented download would wait behind the first two.
  // The limit is process-wide, so it is raised here once for all.
  static const bool raised = [] {
    DWORD connections = 16;
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof connections);
    return true;
  }();
  (void)raised;
  return std::make_shared<WinInetTransport>();
}

}  // namespace rt::win32
