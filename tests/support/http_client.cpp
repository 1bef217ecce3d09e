#include "support/http_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>

#include "support/loopback.h"

namespace veska_test {
namespace {

using Clock = std::chrono::steady_clock;

int _remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

HttpAnswer _parse(const std::string &raw) {
  HttpAnswer answer;
  const size_t end_of_head = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || end_of_head == std::string::npos) return answer;
  const size_t space = raw.find(' ');
  answer.status = atoi(raw.c_str() + space + 1);
  size_t line = raw.find("\r\n") + 2;
  while (line < end_of_head) {
    const size_t next = raw.find("\r\n", line);
    const std::string text = raw.substr(line, next - line);
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
      std::string name = text.substr(0, colon);
      for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      size_t value = colon + 1;
      while (value < text.size() && text[value] == ' ') ++value;
      answer.headers[name] = text.substr(value);
    }
    line = next + 2;
  }
  answer.body = raw.substr(end_of_head + 4);
  return answer;
}

}  // namespace

HttpAnswer http_exchange(const std::string &address, const std::string &request, double timeout_s) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
  const int s = RawConnect(atoi(address.c_str() + address.rfind(':') + 1));
  if (s < 0) return HttpAnswer();
  size_t sent = 0;
  std::string raw;
  bool answered = false;
  while (_remaining_ms(deadline) > 0) {
    struct pollfd p = {
        s, static_cast<short>(POLLIN | (sent < request.size() && !answered ? POLLOUT : 0)), 0};
    if (poll(&p, 1, _remaining_ms(deadline)) <= 0) break;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[16384];
      const ssize_t got = recv(s, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      raw.append(chunk, static_cast<size_t>(got));
      answered = true;
    } else if (p.revents & POLLOUT) {
      const ssize_t put =
          send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put <= 0) {
        sent = request.size();  // the server stopped reading; see what it answered
      } else {
        sent += static_cast<size_t>(put);
      }
    }
  }
  close(s);
  return _parse(raw);
}

HttpAnswer http_request(const std::string &address, const std::string &method,
                        const std::string &target, const std::vector<std::string> &headers) {
  std::string request =
      method + " " + target + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n";
  for (const std::string &header : headers) request += header + "\r\n";
  request += "\r\n";
  return http_exchange(address, request);
}

}  // namespace veska_test
