#include "web/web_port.h"

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <climits>

#include "port/port_observer.h"

// The JavaScript side is Module.zorbentHost.line (zorbent_engine.js, SerialLine). Its async
// methods never reject: a failure is their result.

EM_ASYNC_JS(int, web_line_open, (int baud, int keepReceived),
            { return (await Module.zorbentHost.line.open(baud, keepReceived != 0)) ? 1 : 0; });

EM_ASYNC_JS(void, web_line_close, (int keepReceived),
            { await Module.zorbentHost.line.close(keepReceived != 0); });

EM_ASYNC_JS(int, web_line_wait, (int count, int timeoutMs),
            { return (await Module.zorbentHost.line.wait(count, timeoutMs)) ? 1 : 0; });

// The bytes are copied before the first await: the heap may move while the write waits.
EM_ASYNC_JS(int, web_line_write, (const std::uint8_t* bytes, int size, int timeoutMs), {
  const copy = HEAPU8.slice(bytes, bytes + size);
  return (await Module.zorbentHost.line.write(copy, timeoutMs)) ? 1 : 0;
});

EM_JS(int, web_line_count, (), { return Module.zorbentHost.line.count(); });

EM_JS(int, web_line_take, (std::uint8_t * out, int size), {
  const bytes = Module.zorbentHost.line.take(size);
  HEAPU8.set(bytes, out);
  return bytes.length;
});

EM_JS(void, web_line_purge, (), { Module.zorbentHost.line.purge(); });

EM_JS(int, web_line_gone, (), { return Module.zorbentHost.line.isGone() ? 1 : 0; });

// Why the last open failed, in the browser's words (no final period), into out.
EM_JS(void, web_line_error, (char* out, int capacity),
      { stringToUTF8(Module.zorbentHost.line.lastError(), out, capacity); });

namespace zorbent {
namespace {

constexpr int kErrorCapacity = 256;

std::string Connection(const std::string& name, std::int32_t baud) {
  return "com|" + name + ":" + std::to_string(baud);
}

}  // namespace

WebPort::WebPort(const PortConfig& config, bool& opened)
    : name_(config.Get("name")), baud_(AtoiLike(config.Get("baud"))) {
  opened = OpenAt(baud_, false);
}

WebPort::~WebPort() {
  Close();
}

bool WebPort::OpenAt(std::int32_t baud, bool keepReceived) {
  facts_ = PortFacts{};
  isOpen_ = web_line_open(baud, keepReceived ? 1 : 0) != 0;
  if (isOpen_) {
    baud_ = baud;
    if (PortObserver* observer = GetPortObserver()) observer->OnOpen(Connection(name_, baud_));
    return true;
  }
  char error[kErrorCapacity] = {};
  web_line_error(error, kErrorCapacity);
  facts_.problem = PortFacts::Problem::kOther;
  facts_.device = name_;
  facts_.rate = baud;
  facts_.systemText = error;
  return false;
}

bool WebPort::Open() {
  Close();
  return OpenAt(baud_, false);
}

void WebPort::Close() {
  Close(false);
}

void WebPort::Close(bool keepReceived) {
  if (!isOpen_) return;
  isOpen_ = false;
  web_line_close(keepReceived ? 1 : 0);
  if (PortObserver* observer = GetPortObserver()) observer->OnClose(Connection(name_, baud_));
}

bool WebPort::Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
  if (buffer.empty()) return true;
  if (!isOpen_ || buffer.size() > INT_MAX) return false;
  const int size = static_cast<int>(buffer.size());
  // Suspends only when the bytes have not all come yet.
  if (web_line_count() < size && web_line_wait(size, timeoutMs < 0 ? 0 : timeoutMs) == 0)
    return false;
  if (web_line_take(buffer.data(), size) != size) return false;
  if (PortObserver* observer = GetPortObserver())
    observer->OnData(Connection(name_, baud_), PortObserver::Direction::kIn, buffer);
  return true;
}

bool WebPort::Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (bytes.empty()) return true;
  if (!isOpen_ || bytes.size() > INT_MAX) return false;
  if (web_line_write(bytes.data(), static_cast<int>(bytes.size()), timeoutMs < 0 ? 0 : timeoutMs) ==
      0)
    return false;
  if (PortObserver* observer = GetPortObserver())
    observer->OnData(Connection(name_, baud_), PortObserver::Direction::kOut, bytes);
  return true;
}

void WebPort::Purge() {
  if (isOpen_) web_line_purge();
}

std::int32_t WebPort::Available() {
  return isOpen_ ? web_line_count() : 0;
}

std::int32_t WebPort::SetBaud(std::int32_t baud) {
  if (baud <= 0) return -1;
  // As on a native line, bytes received before the switch stay readable: the adapter's answer
  // to the rate command may be followed at once by its first line at the new rate.
  Close(true);
  return OpenAt(baud, true) ? 1 : -1;
}

bool WebPort::Gone() const {
  return isOpen_ && web_line_gone() != 0;
}

}  // namespace zorbent
