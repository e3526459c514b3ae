#include "tools/orvane-pad/LineReader.h"

#include <glib-unix.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace orvane::pad {

LineReader::LineReader(int fd, std::function<void(std::string)> onLine, std::function<void()> onOverlong,
                       std::function<void()> onEnd)
    : fd_(fd), onLine_(std::move(onLine)), onOverlong_(std::move(onOverlong)), onEnd_(std::move(onEnd)) {
  source_ = g_unix_fd_add(
      fd_, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
      [](int, GIOCondition, gpointer self) -> gboolean { return LineReader::onReadable(self); }, this);
}

LineReader::~LineReader() { stop(); }

void LineReader::stop() {
  if (source_ != 0) g_source_remove(source_);
  source_ = 0;
}

int LineReader::onReadable(void* self) {
  auto* reader = static_cast<LineReader*>(self);
  if (reader->readSome()) return G_SOURCE_CONTINUE;
  reader->source_ = 0;  // GLib removes the source on G_SOURCE_REMOVE
  return G_SOURCE_REMOVE;
}

bool LineReader::readSome() {
  char buffer[16 * 1024];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    // A last line without its newline still counts.
    if (!partial_.empty() && !discarding_) onLine_(std::exchange(partial_, {}));
    auto onEnd = onEnd_;
    if (onEnd) onEnd();
    return false;
  }
  deliver(std::string_view(buffer, std::size_t(n)));
  return source_ != 0;  // a callback may have stopped the reader
}

void LineReader::deliver(std::string_view bytes) {
  while (!bytes.empty() && source_ != 0) {
    const auto newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!discarding_) {
      if (partial_.size() + piece.size() > kMaxLineBytes) {
        partial_.clear();
        discarding_ = true;
        onOverlong_();
      } else {
        partial_.append(piece);
      }
    }
    if (newline == std::string_view::npos) return;
    bytes.remove_prefix(newline + 1);
    if (std::exchange(discarding_, false)) continue;
    onLine_(std::exchange(partial_, {}));
  }
}

}  // namespace orvane::pad
